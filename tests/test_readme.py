"""The README's and the documentation's examples, run as written, so they cannot rot.

A ```python block is a program; a ```console block is a shell session whose
$ lines are run by bash and whose output is compared (... stands for what
changes); a ```sh block is shown only, and must be listed, with the reason
it is not run, on the development page. (```pycon blocks are run by pytest's
doctest collection in .ci/docs.)
"""
import doctest
import glob
import io
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile

import pytest

from conftest import HERE

ROOT = os.path.dirname(HERE)
PAGES = [os.path.join(ROOT, "README.md")] + sorted(glob.glob(os.path.join(ROOT, "docs", "*.md")))


def read(path):
    with io.open(path, encoding="utf-8") as f:
        return f.read()


def blocks(language):
    """[(page name, block text)] of every fenced block in that language."""
    found = []
    for path in PAGES:
        name = os.path.basename(path)
        found += [(name, text) for text in re.findall(r"^```%s\n(.*?)^```$" % language, read(path), re.M | re.S)]
    return found


RECIPES = blocks("python")
# Compiled here, once: free-threaded 3.13's compiler races with itself when
# threads compile at once (it interns names), which ThreadSanitizer reports.
CODE = [compile(text, "%s example" % page, "exec") for page, text in RECIPES] if sys.version_info >= (3,) else []
# Each console block is one bash session: its $ lines are run in order, and
# their output, all together, is compared with what the block shows.
SESSIONS = []
for page, text in blocks("console"):
    steps = re.findall(r"^\$ (.*)\n((?:(?!\$ ).*\n)*)", text, re.M)
    SESSIONS.append((page, "\n".join(command for command, _ in steps) + "\n", "".join(out for _, out in steps)))
# The one ```sh block .ci/docs runs: the README's first command, which installs hashwick.
RUN_BY_DOCS_STEP = blocks("sh")[0]


def test_there_are_examples():
    assert len(RECIPES) >= 6 and len(SESSIONS) >= 6
    assert len([page for page, _ in RECIPES if page == "recipes.md"]) >= 5


def test_every_code_block_is_run_or_listed_as_not_run():
    languages = set()
    for path in PAGES:
        languages.update(re.findall(r"^```(\S*)", read(path), re.M))
    # Python anywhere else would be shown and never run.
    assert languages <= {"", "python", "pycon", "console", "sh", "c", "text", "{toctree}", "{include}"}, languages
    development = read(os.path.join(ROOT, "docs", "development.md"))
    table = development.split("A ```` ```sh ```` block is shown but not run", 1)[1]
    listed = [(page, command) for page, command in
              re.findall(r"^\| (README|\{doc\}`\w+`) \| `([^`]*)`", table, re.M)]
    assert listed
    shown = [(page, text.split("\n", 1)[0]) for page, text in blocks("sh") if (page, text) != RUN_BY_DOCS_STEP]
    page_of = lambda cell: "README.md" if cell == "README" else cell[6:-1] + ".md"
    matches = lambda line, command: line == command or (
        command.endswith("...") and line.startswith(command[:-3].rstrip()))
    unlisted = [s for s in shown if not any(page_of(p) == s[0] and matches(s[1], c) for p, c in listed)]
    stale = [row for row in listed if not any(page_of(row[0]) == p and matches(line, row[1]) for p, line in shown)]
    assert not unlisted and not stale, (unlisted, stale)


# Free-threaded 3.13's ctypes races with itself when two threads make
# objects of one ctypes type at once (conftest.py): such an example runs on
# one thread under pytest-run-parallel.
ONE_THREAD = pytest.mark.thread_unsafe(reason="ctypes objects made from two threads race in free-threaded 3.13")
EXAMPLES = [pytest.param(code, marks=[ONE_THREAD] if "ctypes" in text else [], id="example%d" % i)
            for i, (code, (_, text)) in enumerate(zip(CODE, RECIPES))]


@pytest.mark.skipif(sys.version_info < (3,), reason="the examples are written for Python 3")
@pytest.mark.parametrize("code", EXAMPLES)
def test_recipe_runs(code):
    exec(code, {"__name__": "recipe"})


# Where this interpreter's scripts (the hashwick command) are installed.
SCRIPTS = os.pathsep.join([os.path.dirname(sys.executable), sysconfig.get_path("scripts")])


@pytest.mark.skipif(sys.version_info < (3,), reason="the command needs Python 3")
@pytest.mark.skipif(not shutil.which("bash") if sys.version_info >= (3,) else True, reason="needs bash")
@pytest.mark.parametrize("page, script, output", SESSIONS,
                         ids=["%s-%d" % (s[0], i) for i, s in enumerate(SESSIONS)])
def test_shell_session(page, script, output):
    # Not one further along PATH: that would be another interpreter's.
    if not shutil.which("hashwick", path=SCRIPTS):
        pytest.skip("the hashwick command is not installed beside this interpreter")
    env = dict(os.environ, PATH=SCRIPTS + os.pathsep + os.environ.get("PATH", ""), LC_ALL="C.UTF-8")
    # Each in a folder of its own: the examples may write files.
    folder = tempfile.mkdtemp(prefix="hashwick-example-")
    try:
        got = subprocess.run(["bash", "-c", script], cwd=folder, env=env, stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60).stdout
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    checker = doctest.OutputChecker()
    got = got.decode("utf-8", "replace")
    assert checker.check_output(output, got, doctest.ELLIPSIS), "%s:\n%sshown:\n%sgot:\n%s" % (
        page, script, output, got)
