"""Native-side checks: the wipe survives the release optimisation level, and
the header serves a plain C caller linked against the built module."""
import os
import shlex
import subprocess
import sys
import sysconfig

import pytest

import hashwick
from conftest import HERE, PYPY, VECTORS, native_program

ROOT = os.path.dirname(HERE)
SRC = os.path.join(ROOT, "src")

# These build native programs with g++ and gcc and run them, and link one
# against the module and libpython, as ELF programs on Linux do. Elsewhere
# the module is a macOS bundle, which no program may link against, or a
# Windows DLL built by MSVC, while a g++ on the PATH would be MinGW's
# (.ci/windows builds and runs these programs for Windows under Wine).
pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"),
                                reason="native programs are built and run as ELF programs on Linux")


def build(tmpdir, compiler, sources, flags, libraries=()):
    exe = str(tmpdir.join("a.out"))
    try:
        subprocess.check_call([compiler] + flags + ["-I" + SRC] + sources + list(libraries) + ["-o", exe])
    except OSError:
        pytest.skip(compiler + " is not installed")
    return exe


# The build as GNU compilers get it, and as others (MSVC) do: the portable
# DES form alone, the volatile wipe loop, no asm barriers.
BUILDS = pytest.mark.parametrize("variant", [[], ["-DHASHWICK_NO_GNU_EXTENSIONS"]], ids=["gnu", "no-gnu"])


@native_program
@BUILDS
def test_wipe_is_not_optimised_away(tmpdir, variant):
    exe = build(tmpdir, "g++", [os.path.join(HERE, "native", "wipe.cpp")],
                ["-std=c++17", "-O3", "-Wall", "-Wextra"] + variant)
    out = subprocess.check_output([exe]).decode()
    assert out.strip().endswith("after wipe 0"), out


@native_program
@BUILDS
def test_mdfour_through_the_header_gives_rfc1320s_answers(tmpdir, variant):
    md4 = str(tmpdir.join("md4.o"))
    try:
        subprocess.check_call(["g++", "-std=c++17", "-O3", "-fvisibility=hidden", "-Wall", "-Wextra", "-Werror",
                               "-I" + SRC, "-c", os.path.join(SRC, "md4.cpp"), "-o", md4] + variant)
    except OSError:
        pytest.skip("g++ is not installed")
    exe = build(tmpdir, "gcc", [os.path.join(HERE, "native", "md4kat.c"), md4], ["-std=c99", "-Wall", "-Wextra"])
    messages = "".join(v["message"] + "\n" for v in VECTORS["md4"]).encode("ascii")
    run = subprocess.Popen([exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    out = run.communicate(messages)[0].decode().split()
    assert run.returncode == 0 and out == [v["digest"] for v in VECTORS["md4"]]


@pytest.mark.skipif(PYPY, reason="links against libpython, which PyPy does not have")
def test_c_caller_through_the_header(tmpdir):
    module = hashwick.__file__
    flags = ["-std=c99", "-Wall", "-Wextra", "-Wpedantic", "-Werror"]
    # The module refers to the interpreter's symbols, so libpython comes
    # along, though the program never starts an interpreter.
    libdir = sysconfig.get_config_var("LIBDIR")
    # manylinux and musllinux interpreters are static, their libpython removed.
    if not any(os.path.exists(os.path.join(libdir or "", sysconfig.get_config_var(name) or "-"))
               for name in ("LDLIBRARY", "LIBRARY")):
        pytest.skip("this interpreter has no libpython to link against")
    libpython = "-lpython" + sysconfig.get_config_var("VERSION") + (sysconfig.get_config_var("ABIFLAGS") or "")
    # A static libpython brings none of the libraries and link flags it needs
    # (-lm, -ldl, a sanitizer's runtime): those the interpreter was linked with.
    system = []
    shared = sysconfig.get_config_var("LDLIBRARY") or "-"
    if not (shared.endswith(".so") and os.path.exists(os.path.join(libdir, shared))):
        system = [flag for name in ("LDFLAGS", "LIBS", "SYSLIBS")
                  for flag in shlex.split(sysconfig.get_config_var(name) or "")]
    exe = build(tmpdir, "gcc", [os.path.join(HERE, "native", "caller.c")], flags,
                [module, "-Wl,-rpath," + os.path.dirname(module), "-L" + libdir, libpython, "-Wl,-rpath," + libdir]
                + system)
    out = subprocess.check_output([exe]).decode().split()
    assert out == [VECTORS["lmhash"][0]["hash"], VECTORS["nthash"][0]["hash"]]
