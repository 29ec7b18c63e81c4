# -*- coding: utf-8 -*-
"""hash: both hashes at once, the LM half first."""
import gc
import random

import pytest

import hashwick
from conftest import PARSER_TAKES_BUFFERS, PY2, run_in_threads

ACCEPTED = [u"", u"Password", b"Password", u"a\x00b", b"x" * 200, u"\u00e9\u00e9"]
if PY2:
    ACCEPTED = [a for a in ACCEPTED if not isinstance(a, unicode) or all(ord(c) < 128 for c in a)]  # noqa: F821
else:
    ACCEPTED += [u"\U0001F600 and more than fourteen bytes", u"ÄÖÜäöü".encode("utf-8")]


@pytest.mark.parametrize("password", ACCEPTED, ids=repr)
def test_pair_of_both_functions(password):
    assert hashwick.hash(password) == (hashwick.lmhash(password), hashwick.nthash(password))


FAILING = [(None, TypeError)]
if PY2:
    FAILING += [(b"\xff", UnicodeDecodeError), (u"\xe9", UnicodeEncodeError)]
else:
    # bytes the NT half cannot decode; a surrogate the LM half cannot encode.
    FAILING += [(b"\xff", UnicodeDecodeError), (u"\ud800", UnicodeEncodeError)]
    if not PARSER_TAKES_BUFFERS:
        FAILING.append((memoryview(b"a"), TypeError))


@pytest.mark.thread_unsafe(reason="counts the whole process's live tuples")
@pytest.mark.parametrize("arg, error", FAILING, ids=repr)
def test_failures_leave_no_pair(arg, error):
    def tuples():
        gc.collect()
        return sum(1 for o in gc.get_objects() if type(o) is tuple and len(o) == 2)

    for _ in range(100):  # warm up
        pytest.raises(error, hashwick.hash, arg)
    before = tuples()
    for _ in range(1000):
        pytest.raises(error, hashwick.hash, arg)
    assert tuples() - before < 50


def test_threads_through_all_three():
    rng = random.Random(10)
    passwords = [u"".join(rng.choice(u"aZ9 !\xe9\u20ac") for _ in range(rng.randrange(30))) for _ in range(40)]
    passwords = [p for p in passwords if not PY2 or all(ord(c) < 128 for c in p)]
    passwords += [p.encode("utf-8") for p in passwords]
    expected = [(hashwick.lmhash(p), hashwick.nthash(p)) for p in passwords]

    def all_three(p):
        lm, nt, pair = hashwick.lmhash(p), hashwick.nthash(p), hashwick.hash(p)
        return pair if pair == (lm, nt) else None

    assert run_in_threads(all_three, passwords, expected, 5000) == []
