"""No password bit reaches a branch or a memory address: a native harness
runs every routine that handles password material, with that material
marked undefined, under valgrind's memcheck, which reports each branch and
each address computed from it. HASHWICK_CONSTTIME=1 makes a missing
valgrind a failure rather than a skip."""
import os
import subprocess

import pytest

from conftest import HERE
from test_lmhash import turkish_locale  # noqa: F401 - the fixture
from test_native import SRC, build

MEMCHECK_H = "/usr/include/valgrind/memcheck.h"


def test_no_secret_reaches_a_branch_or_an_address(tmpdir, turkish_locale):  # noqa: F811
    try:
        subprocess.check_call(["valgrind", "--version"], stdout=subprocess.PIPE)
        have = os.path.exists(MEMCHECK_H)
    except OSError:
        have = False
    if not have:
        if os.environ.get("HASHWICK_CONSTTIME"):
            pytest.fail("valgrind and its headers are required")
        pytest.skip("valgrind is not installed")
    # The product's own flags, and the switch that makes declassify() tell memcheck.
    flags = ["-std=c++17", "-O3", "-fno-exceptions", "-fno-rtti", "-g", "-Wall", "-Wextra", "-Werror",
             "-DHASHWICK_CONSTTIME_CHECK"]
    exe = build(tmpdir, "g++", [os.path.join(HERE, "native", "consttime.cpp"), os.path.join(SRC, "md4.cpp")], flags)
    env = dict(os.environ, LOCPATH=turkish_locale)
    env.pop("LD_PRELOAD", None)  # a sanitizer runtime preloaded for the interpreter is no harness's
    run = subprocess.Popen(["valgrind", "--error-exitcode=99", "--errors-for-leak-kinds=none", exe,
                            "C", "C.UTF-8", "tr_TR.ISO-8859-9"], env=env, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE)
    out, err = run.communicate()
    err = err.decode("utf-8", "replace")
    assert run.returncode == 0, err
    assert "ERROR SUMMARY: 0 errors" in err, err
    # Every part ran: three DES forms or two, twelve digests, three locales.
    lines = out.decode().splitlines()
    assert sum(line.startswith("mdfour:") for line in lines) == 12
    assert sum(line.startswith("lmhash:") for line in lines) == 12
