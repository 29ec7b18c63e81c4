"""The stubs that ship with the module, as mypy sees them after an install."""
import os
import re
import subprocess
import sys

import pytest

from conftest import HERE

pytest.importorskip("mypy")


def mypy(name, cwd):
    path = os.path.join(HERE, "typing", name)
    command = [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--python-executable", sys.executable]
    command.append(path)
    # Run outside the checkout so only the installed package can be found.
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, cwd=cwd)
    out = process.communicate()[0].decode()
    return process.returncode, out, path


def test_correct_calls_pass(tmpdir):
    status, out, _ = mypy("good.py", str(tmpdir))
    assert status == 0, out


def test_mistakes_are_reported(tmpdir):
    status, out, path = mypy("bad.py", str(tmpdir))
    with open(path) as f:
        expected = [n for n, line in enumerate(f, 1) if line.rstrip().endswith("# error")]
    reported = sorted(set(int(n) for n in re.findall(r"bad\.py:(\d+): error", out)))
    assert status == 1 and reported == expected, out
