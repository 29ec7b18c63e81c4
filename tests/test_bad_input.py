# -*- coding: utf-8 -*-
"""Hostile and boundary arguments for every function, in one table: each
gives its documented result or exception, and the interpreter keeps working."""
import sys
import warnings

import pytest

import hashwick
from conftest import PARSER_TAKES_BUFFERS, PY2, PYPY, VECTORS, hexdigest

OK = "ok"
text_type = type(u"")


class Text(text_type):
    pass


class Bytes(bytes):
    pass


class BadStr(object):
    def __str__(self):
        raise RuntimeError("never called: the parser does not convert objects")


def posix_upper(raw):
    return bytes(bytearray(b - 32 if 0x61 <= b <= 0x7A else b for b in bytearray(raw)))


def lm_key(arg):
    raw = arg.encode("ascii" if PY2 else "utf-8") if isinstance(arg, text_type) else bytes(arg)
    return posix_upper(raw[:14]).ljust(14, b"\0")


def nt_message(arg):
    text = arg if isinstance(arg, text_type) else bytes(arg).decode("ascii" if PY2 else "utf-8")
    return text.encode("utf-16-le")


TEN_MIB = 10 * 1024 * 1024
BUFFER = OK if PARSER_TAKES_BUFFERS else TypeError

# (argument, lmhash, nthash): OK or the exception class.
CASES = [
    (None, TypeError, TypeError),
    (0, TypeError, TypeError),
    (1.5, TypeError, TypeError),
    ([u"a"], TypeError, TypeError),
    (BadStr(), TypeError, TypeError),
    (Text(u"Password"), OK, OK),
    (Bytes(b"Password"), OK, OK),
    (u"", OK, OK),
    (b"x", OK, OK),
    (u"fourteen chars", OK, OK),
    (b"fifteen chars!!", OK, OK),
    (u"a\x00b\x00", OK, OK),
    (b"\x00" * 20, OK, OK),
    (b"k" * TEN_MIB, OK, OK),
    (u"K" * TEN_MIB, OK, OK),
]
if PY2:
    CASES += [
        (b"caf\xc3\xa9", OK, UnicodeDecodeError),  # ASCII is the default encoding
        (b"\xff", OK, UnicodeDecodeError),
        (u"caf\xe9", UnicodeEncodeError, OK),
    ]
else:
    CASES += [
        # The parser's s# rule takes no buffer that must be released.
        (bytearray(b"a"), BUFFER, BUFFER),
        (memoryview(bytearray(b"a")), BUFFER, BUFFER),
        (memoryview(b"a"), BUFFER, BUFFER),
        # Lone surrogates: high, low, at the start and at the end.
        (u"\ud800", UnicodeEncodeError, UnicodeEncodeError),
        (u"\udc00", UnicodeEncodeError, UnicodeEncodeError),
        (u"\ud83dPassword", UnicodeEncodeError, UnicodeEncodeError),
        (u"Password\udfff", UnicodeEncodeError, UnicodeEncodeError),
        (u"\udc00\ud800", UnicodeEncodeError, UnicodeEncodeError),  # the wrong order for a pair
        (u"\U0001F600\udc00\ud800", UnicodeEncodeError, UnicodeEncodeError),
        (u"0123456789abcdefgh\udfff", UnicodeEncodeError, UnicodeEncodeError),  # past the 14 bytes LM uses
        (u"0123456789abcdefgh\udfff\udfff", UnicodeEncodeError, UnicodeEncodeError),  # two: neither cancels
        (u"\u00e9" * 20 + u"\ud83d", UnicodeEncodeError, UnicodeEncodeError),
        # Ill-formed UTF-8: the LM half takes bytes as they are.
        (b"\xff", OK, UnicodeDecodeError),
        (b"\xe2\x82", OK, UnicodeDecodeError),  # truncated
        (b"a" * 1000 + b"\xe2\x82", OK, UnicodeDecodeError),  # after a few chunks of good input
        # Cut after its lead, at the end of an object the C allocator holds
        # (so that under ASan a read past the end is caught).
        (b"a" * 1000 + b"\xf0", OK, UnicodeDecodeError),
        (b"\xc0\xaf", OK, UnicodeDecodeError),  # overlong
        (b"\xe0\x80\xaf", OK, UnicodeDecodeError),  # overlong
        (b"\xed\xa0\x80", OK, UnicodeDecodeError),  # an encoded surrogate
        (b"\xf4\x90\x80\x80", OK, UnicodeDecodeError),  # above U+10FFFF
        (u"caf\xe9 \u20ac \U0001F600", OK, OK),
        ((u"\u00e9" * 7 + u"\U0001F600").encode("utf-8"), OK, OK),
    ]
    # Each encoding step at its edges, in each storage width of a str (the
    # prefix widens it) and as UTF-8 bytes: the last code point of each
    # UTF-8 and UTF-16 width and the first of the next, around the surrogates.
    for cp in (0x7F, 0x80, 0x7FF, 0x800, 0xD7FF, 0xE000, 0xFFFF, 0x10000, 0x10FFFF):
        for prefix in (u"", u"\u0100", u"\U00010000"):
            text = prefix + chr(cp) + u"x"
            CASES += [(text, OK, OK), (text.encode("utf-8"), OK, OK)]
    for cp in (0xD800, 0xDBFF, 0xDC00, 0xDFFF):
        for prefix in (u"", u"\U00010000"):
            CASES += [(prefix + chr(cp), UnicodeEncodeError, UnicodeEncodeError),
                      (Text(prefix + u"x" + chr(cp)), UnicodeEncodeError, UnicodeEncodeError)]
    # Characters of each UTF-8 width, in runs that end on both sides of the
    # UTF-16 staging buffer's end (256 bytes) and of its second fill.
    for char in (u"\u00e9", u"\u20ac", u"\U0001F600"):
        units = 2 if char == u"\U0001F600" else 1
        for n in (127, 128, 129, 255, 256, 257):
            text = char * (n // units) + u"a" * (n % units)
            CASES += [(text, OK, OK), (text.encode("utf-8"), OK, OK), (Bytes(text.encode("utf-8")), OK, OK)]
    # The LM key's 14-byte cut falling inside a character of each width.
    for char, width in ((u"\u00e9", 2), (u"\u20ac", 3), (u"\U0001F600", 4)):
        for inside in range(1, width):
            text = u"a" * (14 - inside) + char + u"b"
            CASES += [(text, OK, OK), (Text(text), OK, OK), (text.encode("utf-8"), OK, OK)]


# The codec each half uses, to compare errors word for word.
ENCODING = {"lmhash": "ascii" if PY2 else "utf-8", "nthash": "ascii" if PY2 else "utf-16-le"}


def codec_error(name, arg):
    try:
        if isinstance(arg, text_type):
            arg.encode(ENCODING[name])
        else:
            bytes(arg).decode("ascii" if PY2 else "utf-8")
    except UnicodeError as error:
        return error
    raise AssertionError("the codec accepted %r" % (arg,))


def outcome(function, arg):
    try:
        return function(arg)
    except (TypeError, UnicodeError) as error:
        return error


def describe(case):
    return repr(case[0])[:30] if not isinstance(case[0], (bytes, text_type)) or len(case[0]) < 100 else "10 MiB"


@pytest.mark.parametrize("arg, lm, nt", CASES, ids=[describe(c) for c in CASES])
def test_each_function(arg, lm, nt, oracle, des_oracle):
    results = {}
    references = (lambda a: des_oracle(lm_key(a)), lambda a: oracle(nt_message(a)))
    for name, expect, reference in zip(("lmhash", "nthash"), (lm, nt), references):
        got = results[name] = outcome(getattr(hashwick, name), arg)
        if expect is OK:
            assert got == hexdigest(reference(arg)), name
        else:
            assert type(got) is expect, (name, got)
            if issubclass(expect, UnicodeError):
                assert got.args == codec_error(name, arg).args
    # hash is the pair, or fails as the first failing half (LM first).
    pair = outcome(hashwick.hash, arg)
    if lm is OK and nt is OK:
        assert pair == (results["lmhash"], results["nthash"])
    else:
        first = results["lmhash"] if lm is not OK else results["nthash"]
        assert type(pair) is type(first) and pair.args == first.args
    assert hashwick.hash(u"Password") == (VECTORS["lmhash"][0]["hash"], VECTORS["nthash"][0]["hash"])


def legacy_str(text):
    """A str made through the old Py_UNICODE API and not yet made ready."""
    import ctypes

    api = ctypes.pythonapi
    api.PyUnicode_FromUnicode.restype = ctypes.py_object
    api.PyUnicode_FromUnicode.argtypes = [ctypes.c_void_p, ctypes.c_ssize_t]
    api.PyUnicode_AsUnicode.restype = ctypes.c_void_p
    api.PyUnicode_AsUnicode.argtypes = [ctypes.py_object]
    # Py_UNICODE units in the machine's byte order (s390x is big-endian).
    codec = ("utf-32-" if ctypes.sizeof(ctypes.c_wchar) == 4 else "utf-16-") + sys.byteorder[0] + "e"
    units = text.encode(codec, "surrogatepass")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # the point: a str made the old way
        legacy = api.PyUnicode_FromUnicode(None, len(units) // ctypes.sizeof(ctypes.c_wchar))
    ctypes.memmove(api.PyUnicode_AsUnicode(legacy), units, len(units))
    return legacy


@pytest.mark.skipif(PY2 or PYPY or sys.version_info >= (3, 12), reason="CPython 3.3-3.11 have strs not yet ready")
@pytest.mark.parametrize("text", [u"Password", u"caf\xe9 \u0100", u"\u20ac" * 9, u"a\U0001F600" * 5, u"x\udfff"],
                         ids=["ascii", "latin-1 and more", "BMP", "astral", "surrogate"])
def test_a_str_not_yet_ready_is_hashed_as_the_same_ready_str(text):
    for name in ("lmhash", "nthash", "hash"):
        got, want = outcome(getattr(hashwick, name), legacy_str(text)), outcome(getattr(hashwick, name), text)
        assert type(got) is type(want) and (got == want if isinstance(want, (str, tuple)) else got.args == want.args)
