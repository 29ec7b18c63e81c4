"""atheris harness for the Python functions: any str, bytes or other object
either gives a 32-digit upper-case hex str or one of the documented errors,
hash agrees with its halves, and only 14 bytes count for lmhash."""
import re
import sys

import atheris

with atheris.instrument_imports():
    import hashwick

HEX = re.compile(r"\A[0-9A-F]{32}\Z")
ERRORS = (TypeError, UnicodeEncodeError, UnicodeDecodeError)


def call(function, arg):
    try:
        result = function(arg)
    except ERRORS as error:
        return error
    for text in result if isinstance(result, tuple) else (result,):
        assert type(text) is str and HEX.match(text), (function, arg, result)
    return result


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    kind = fdp.ConsumeIntInRange(0, 3)
    if kind == 0:
        arg = fdp.ConsumeBytes(fdp.remaining_bytes())
    elif kind == 1:
        arg = fdp.ConsumeUnicode(fdp.remaining_bytes())
    elif kind == 2:
        arg = fdp.ConsumeUnicodeNoSurrogates(fdp.remaining_bytes())
    else:
        arg = [None, 0, 1.5, bytearray(b"x"), memoryview(b"x"), ["x"]][fdp.ConsumeIntInRange(0, 5)]
    lm, nt, both = call(hashwick.lmhash, arg), call(hashwick.nthash, arg), call(hashwick.hash, arg)
    if isinstance(lm, str) and isinstance(nt, str):
        assert both == (lm, nt), arg
    else:
        first_error = lm if not isinstance(lm, str) else nt
        assert type(both) is type(first_error) and both.args == first_error.args, (arg, both, first_error)
    if isinstance(arg, bytes) and isinstance(lm, str):
        assert lm == hashwick.lmhash(arg[:14]), arg
    if isinstance(arg, str) and isinstance(nt, str):
        assert nt == hashwick.nthash(arg.encode("utf-8")), arg


if __name__ == "__main__":
    atheris.Setup(sys.argv, atheris.instrument_func(test_one_input))
    atheris.Fuzz()
