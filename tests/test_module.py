"""The module's surface: its functions, docstring, calling convention and the
symbols its shared object exports."""
import os
import re
import sys

import pytest

import hashwick
from conftest import PY2, PYPY, exported_symbols

FUNCTIONS = ["lmhash", "nthash", "hash"]

DOC = (
    "This module generates SMB lanman and nt password\n"
    "hashes suitable for use with Samba.\n"
    "\n"
    "Functions:\n"
    "\n"
    "  lmhash(passwd) -- return a string containing the lanman\n"
    "                    hash of the password\n"
    "  nthash(passwd) -- return a string containing the nt hash\n"
    "                    of the password\n"
    "  hash(passwd)   -- return a tuple containing the both the\n"
    "                    lanman hash and the nt hash strings\n"
)


def test_docstring_is_exact():
    assert hashwick.__doc__ == DOC
    assert len(hashwick.__doc__) == 407


def test_module_holds_only_the_functions():
    public = [name for name in vars(hashwick) if not name.startswith("__")]
    if PY2:
        assert sorted(public) == sorted(FUNCTIONS)
    else:
        assert public == FUNCTIONS
    dunders = set(name for name in vars(hashwick) if name.startswith("__"))
    assert dunders <= set(["__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"])
    for name in FUNCTIONS:
        assert getattr(hashwick, name).__doc__ is None


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), (("a", "b"), {}), ((), {"passwd": "a"}), (("a",), {"passwd": "a"})],
    ids=["no argument", "two arguments", "keyword", "positional and keyword"],
)
def test_exactly_one_positional_argument(name, args, kwargs):
    with pytest.raises(TypeError) as excinfo:
        getattr(hashwick, name)(*args, **kwargs)
    message = str(excinfo.value)
    assert "keyword" in message if kwargs else re.search(r"exactly (1|one) argument", message)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_results_are_native_str(name):
    result = getattr(hashwick, name)("Password")
    for text in result if isinstance(result, tuple) else [result]:
        assert type(text) is str
        assert re.match(r"\A[0-9A-F]{32}\Z", text)


def test_exported_symbols():
    try:
        symbols = exported_symbols(hashwick.__file__)
    except OSError:
        pytest.skip("nm is not installed")
    entry = "inithashwick" if PY2 else "PyInit_hashwick"
    assert symbols == sorted([entry, "E_P16", "mdfour"])



SUBINTERPRETER_CODE = """
import hashwick
with open(%r, "w") as out:
    out.write(" ".join(hashwick.hash("Password")))
"""


@pytest.mark.skipif(sys.version_info < (3, 12), reason="sub-interpreters with their own GIL came in 3.12")
@pytest.mark.skipif(PYPY, reason="sub-interpreters are CPython's")
@pytest.mark.thread_unsafe(reason="CPython 3.13 makes a sub-interpreter with a plain write to the runtime's state, "
                                  "a race when two threads make one at once")
def test_isolated_subinterpreters(tmpdir):
    # An isolated interpreter has its own GIL and refuses extension modules
    # that do not declare they support that, so importing there is the test.
    try:
        import _interpreters as interpreters

        create = lambda: interpreters.create("isolated")  # noqa: E731
    except ImportError:
        import _xxsubinterpreters as interpreters

        create = lambda: interpreters.create(isolated=True)  # noqa: E731
    ids = [create() for _ in range(3)]
    try:
        for n, interp in enumerate(ids):
            path = str(tmpdir.join("out%d" % n))
            assert interpreters.run_string(interp, SUBINTERPRETER_CODE % path) is None
            with open(path) as f:
                assert tuple(f.read().split()) == hashwick.hash("Password")
    finally:
        for interp in ids:
            interpreters.destroy(interp)


@pytest.mark.skipif(sys.version_info < (3, 8), reason="importlib.metadata came in 3.8")
def test_version_comes_from_the_distribution():
    import importlib.metadata

    with open(os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "pyproject.toml")) as f:
        declared = re.search(r'^version = "([^"]+)"', f.read(), re.M).group(1)
    assert importlib.metadata.version("hashwick") == declared
    assert not hasattr(hashwick, "__version__")
