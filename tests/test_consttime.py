"""No password bit reaches a branch or a memory address: a native harness
runs every routine that handles password material, with that material
marked undefined, under valgrind's memcheck, which reports each branch and
each address computed from it. HASHWICK_CONSTTIME=1 makes a missing
valgrind a failure rather than a skip.

Each compiler makes its own code, so the check runs once per build:
HASHWICK_CONSTTIME_CXX lists the compiler commands, `;` between them (a
command may carry flags: a cross target, -DHASHWICK_NO_GNU_EXTENSIONS);
HASHWICK_CONSTTIME_LOCALES the locales to upper-case in."""
import os
import shlex
import subprocess

import pytest

from conftest import HERE, native_program
from test_lmhash import turkish_locale  # noqa: F401 - the fixture, by name
from test_native import SRC, build

MEMCHECK_H = "/usr/include/valgrind/memcheck.h"
COMPILERS = [c.strip() for c in os.environ.get("HASHWICK_CONSTTIME_CXX", "g++").split(";") if c.strip()]
LOCALES = os.environ.get("HASHWICK_CONSTTIME_LOCALES", "C C.UTF-8 tr_TR.ISO-8859-9").split()
TURKISH = "tr_TR.ISO-8859-9"
# The product's own flags, the switch that makes declassify() tell memcheck,
# and debug information in the version valgrind 3.19 reads.
FLAGS = ["-std=c++17", "-O3", "-fno-exceptions", "-fno-rtti", "-g", "-gdwarf-4", "-Wall", "-Wextra", "-Werror",
         "-DHASHWICK_CONSTTIME_CHECK"]


def cpu_has_avx2():
    try:
        with open("/proc/cpuinfo") as f:
            return " avx2" in f.read()
    except IOError:
        return False


def have_valgrind():
    try:
        subprocess.check_call(["valgrind", "--version"], stdout=subprocess.PIPE)
    except OSError:
        return False
    return os.path.exists(MEMCHECK_H)


@pytest.fixture
def locpath(request):
    """LOCPATH for the harness where the Turkish locale is one it uses. A
    fixture of its own: pytest-run-parallel sets fixtures up before its
    threads start, and pytest's own requests from several threads collide."""
    return request.getfixturevalue("turkish_locale") if TURKISH in LOCALES else None


@native_program
@pytest.mark.parametrize("compiler", COMPILERS)
def test_no_secret_reaches_a_branch_or_an_address(tmpdir, locpath, compiler):
    if not have_valgrind():
        if os.environ.get("HASHWICK_CONSTTIME"):
            pytest.fail("valgrind and its headers are required")
        pytest.skip("valgrind is not installed")
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)  # a sanitizer runtime preloaded for the interpreter is no harness's
    if locpath:
        env["LOCPATH"] = locpath
    # memcheck.h alone, without the rest of /usr/include: a cross compiler
    # must see its own C library's headers.
    include = tmpdir.mkdir("include")
    os.symlink(os.path.dirname(MEMCHECK_H), str(include.join("valgrind")))
    command = shlex.split(compiler)
    exe = build(tmpdir, command[0], [os.path.join(HERE, "native", "consttime.cpp"), os.path.join(SRC, "md4.cpp")],
                command[1:] + FLAGS + ["-isystem", str(include)])
    # Each DES form runs, the AVX2 one wherever the CPU has it, whether or
    # not the build's runtime can tell.
    avx2 = ["--avx2"] if cpu_has_avx2() else []
    run = subprocess.Popen(["valgrind", "--error-exitcode=99", "--errors-for-leak-kinds=none", exe] + avx2 + LOCALES,
                           env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = run.communicate()
    err = err.decode("utf-8", "replace")
    assert run.returncode == 0, err
    assert "ERROR SUMMARY: 0 errors" in err, err
    # Every part ran: twelve digests, four lengths in each locale.
    lines = out.decode().splitlines()
    assert sum(line.startswith("mdfour:") for line in lines) == 12
    assert sum(line.startswith("lmhash:") for line in lines) == 4 * len(LOCALES)
    forms = [line.split(":")[0] for line in lines if "DES:" in line]
    gnu = "-DHASHWICK_NO_GNU_EXTENSIONS" not in command
    assert forms == ["portable DES"] + (["AVX2 DES"] if avx2 and gnu else []), forms

