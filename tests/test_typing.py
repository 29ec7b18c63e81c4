"""The stubs that ship with the module, as mypy sees them after an install."""
import os
import re
import subprocess
import sys

import pytest

from conftest import HERE, PYPY

pytest.importorskip("mypy")
# The stubs are one file, the same everywhere; mypy, uncompiled on PyPy,
# takes longer there than the rest of the suite.
pytestmark = pytest.mark.skipif(PYPY, reason="mypy runs uncompiled on PyPy; the stubs are checked on CPython")

FILES = ["good.py", "bad.py"]


@pytest.fixture(scope="module")
def mypy(tmpdir_factory):
    """One mypy run over both files, {file name: lines it reported errors on}."""
    paths = [os.path.join(HERE, "typing", name) for name in FILES]
    command = [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--python-executable", sys.executable]
    # Run outside the checkout so only the installed package can be found.
    cwd = str(tmpdir_factory.mktemp("mypy"))
    process = subprocess.Popen(command + paths, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, cwd=cwd)
    out = process.communicate()[0].decode()
    reported = dict((name, sorted(set(int(n) for n in re.findall(re.escape(name) + r":(\d+): error", out))))
                    for name in FILES)
    return process.returncode, out, reported


def test_correct_calls_pass(mypy):
    status, out, reported = mypy
    assert status in (0, 1) and reported["good.py"] == [], out


def test_mistakes_are_reported(mypy):
    status, out, reported = mypy
    with open(os.path.join(HERE, "typing", "bad.py")) as f:
        expected = [n for n, line in enumerate(f, 1) if line.rstrip().endswith("# error")]
    assert status == 1 and reported["bad.py"] == expected, out
