# -*- coding: utf-8 -*-
"""Every success and failure path, called many times, leaves memory and
reference counts where they were. Slow: runs when HASHWICK_SLOW is set."""
import gc
import os
import sys

import pytest

import hashwick
from conftest import PY2, PYPY, slow

CALLS = int(os.environ.get("HASHWICK_LEAK_CALLS", 10 ** 6))

ARGUMENTS = [
    ((u"Pässwörd",), {}),
    ((b"Password",), {}),
    ((u"x" * 300,), {}),
    ((None,), {}),  # TypeError
    ((), {}),  # wrong count
    ((u"a", u"b"), {}),
    ((u"a",), {"passwd": u"a"}),  # keyword
]
if not PY2:
    ARGUMENTS += [((u"ab\ud800",), {}), ((b"\xff",), {})]  # UnicodeEncodeError, UnicodeDecodeError

# Memory and reference counts are the process's: other threads' calls would
# move them.
pytestmark = pytest.mark.thread_unsafe(reason="measures the whole process's memory and reference counts")

PATHS = [(name, args, kwargs) for name in ("lmhash", "nthash", "hash") for args, kwargs in ARGUMENTS]
ids = ["%s%r" % (name, args)[:40] for name, args, _ in PATHS]


def repeat(function, args, kwargs, n):
    for _ in range(n):
        try:
            function(*args, **kwargs)
        except (TypeError, UnicodeError):
            pass


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


@slow
@pytest.mark.skipif(PY2, reason="tracemalloc is Python 3 only")
@pytest.mark.skipif(PYPY, reason="tracemalloc traces CPython's allocator; PyPy's objects move with its GC")
@pytest.mark.parametrize("name, args, kwargs", PATHS, ids=ids)
def test_memory_does_not_grow(name, args, kwargs):
    import tracemalloc

    function = getattr(hashwick, name)
    repeat(function, args, kwargs, 10000)
    gc.collect()
    # What the process holds (native allocations too), over many calls.
    rss_before = rss_kib()
    repeat(function, args, kwargs, CALLS)
    gc.collect()
    assert rss_kib() - rss_before < 4 * 1024
    # What the interpreter's allocators hold: traced, so slower, and a
    # leaked object per call would be megabytes after a tenth of the calls.
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        repeat(function, args, kwargs, CALLS // 10)
        gc.collect()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert after - before < 64 * 1024


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter")
@pytest.mark.parametrize("name, args, kwargs", PATHS, ids=ids)
def test_reference_counts_return(name, args, kwargs):
    function = getattr(hashwick, name)
    repeat(function, args, kwargs, 1000)
    gc.collect()
    before = sys.gettotalrefcount()
    repeat(function, args, kwargs, 100000)
    gc.collect()
    # Allow the few references a collection itself may move around.
    assert abs(sys.gettotalrefcount() - before) < 10
