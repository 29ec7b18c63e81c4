"""Native-side checks: the wipe survives the release optimisation level, and
the header serves a plain C caller linked against the built module."""
import os
import subprocess
import sysconfig

import pytest

import hashwick
from conftest import HERE, PYPY, VECTORS

ROOT = os.path.dirname(HERE)
SRC = os.path.join(ROOT, "src")


def build(tmpdir, compiler, sources, flags, libraries=()):
    exe = str(tmpdir.join("a.out"))
    try:
        subprocess.check_call([compiler] + flags + ["-I" + SRC] + sources + list(libraries) + ["-o", exe])
    except OSError:
        pytest.skip(compiler + " is not installed")
    return exe


def test_wipe_is_not_optimised_away(tmpdir):
    exe = build(tmpdir, "g++", [os.path.join(HERE, "native", "wipe.cpp")], ["-std=c++17", "-O3", "-Wall", "-Wextra"])
    out = subprocess.check_output([exe]).decode()
    assert out.strip().endswith("after wipe 0"), out


@pytest.mark.skipif(PYPY, reason="links against libpython, which PyPy does not have")
def test_c_caller_through_the_header(tmpdir):
    module = hashwick.__file__
    flags = ["-std=c99", "-Wall", "-Wextra", "-Wpedantic", "-Werror"]
    # The module refers to the interpreter's symbols, so libpython comes
    # along, though the program never starts an interpreter.
    libdir = sysconfig.get_config_var("LIBDIR")
    libpython = "-lpython" + sysconfig.get_config_var("VERSION") + (sysconfig.get_config_var("ABIFLAGS") or "")
    exe = build(tmpdir, "gcc", [os.path.join(HERE, "native", "caller.c")], flags,
                [module, "-Wl,-rpath," + os.path.dirname(module), "-L" + libdir, libpython, "-Wl,-rpath," + libdir])
    out = subprocess.check_output([exe]).decode().split()
    assert out == [VECTORS["lmhash"][0]["hash"], VECTORS["nthash"][0]["hash"]]
