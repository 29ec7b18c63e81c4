# -*- coding: utf-8 -*-
"""Eight threads at once. Each of the three functions and the two native
exports, on every kind of password the suite knows, gives from any thread
the answer it gives on one, and refuses what it refuses with the same
exception. On free-threaded CPython the calls really run in parallel;
elsewhere ctypes still drops the GIL around the native exports."""
import hashwick
from conftest import E_P16, VECTORS, mdfour, run_in_threads
from test_bad_input import CASES, lm_key, nt_message
from test_hash import ACCEPTED, FAILING

PASSES = 16
# Long enough to cross every buffer and block boundary the cases aim at;
# the 10 MiB ones would only make the run long.
LONGEST = 4096


def outcome(call, arg):
    try:
        return call(arg)
    except Exception as error:  # noqa: B902 - compared by type and arguments
        return type(error), error.args


def jobs():
    passwords = [case[0] for case in CASES] + ACCEPTED + [arg for arg, _ in FAILING]
    passwords += [v["password"] for v in VECTORS["lmhash"] + VECTORS["nthash"]]
    passwords = [p for p in passwords if not hasattr(p, "__len__") or len(p) <= LONGEST]
    found = []
    for p in passwords:
        found += [(hashwick.lmhash, p), (hashwick.nthash, p), (hashwick.hash, p)]
        if isinstance(p, (bytes, type(u""))):
            try:
                found.append((E_P16, lm_key(p)))
                found.append((mdfour, nt_message(p)))
            except UnicodeError:
                pass  # refused before any primitive runs
    return found


def test_threads_get_the_answers_of_one():
    work = jobs()
    assert len(set(call for call, _ in work)) == 5 and len(work) > 100
    expected = [outcome(*job) for job in work]
    assert any(isinstance(e, tuple) and e[0] is UnicodeEncodeError for e in expected)
    wrong = run_in_threads(lambda job: outcome(*job), work, expected, PASSES * len(work))
    assert [work[i] for i in sorted(set(wrong))] == []
