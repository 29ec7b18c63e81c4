# -*- coding: utf-8 -*-
"""nthash: MD4 over the password's UTF-16LE code units."""
import random

import pytest

import hashwick
from conftest import PY2, VECTORS, hexdigest, openssl_md4, openssl_md4_pieces, slow

if PY2:
    chr = unichr  # noqa: F821 (Python 2 only)


def expected(text):
    return hexdigest(openssl_md4(text.encode("utf-16-le")))


def random_text(rng, n):
    # ASCII, Latin-1, the rest of the BMP around the surrogates, and astral.
    ranges = [(0, 0x7F), (0x80, 0xFF), (0x100, 0xD7FF), (0xE000, 0xFFFF), (0x10000, 0x10FFFF)]
    return u"".join(chr(rng.randint(*rng.choice(ranges))) for _ in range(n))


@pytest.mark.parametrize("vector", VECTORS["nthash"], ids=lambda v: v["source"])
def test_known_answers(vector):
    assert hashwick.nthash(vector["password"]) == vector["hash"]
    assert hashwick.nthash(vector["password"].encode("ascii")) == vector["hash"]


def test_random_text_against_md4_of_utf16le(oracle):
    rng = random.Random(2)
    for _ in range(2000):
        text = random_text(rng, rng.randrange(60))
        assert hashwick.nthash(text) == expected(text)


@pytest.mark.parametrize(
    "text",
    [u"a\x00b", u"\x00", u"\xe9t\xe9", u"\u20ac" * 33, u"\U0001F600" * 70, u"x" * 200, u"Pass" * 10000],
    ids=["embedded NUL", "NUL", "latin-1", "BMP over a chunk", "astral", "200 chars", "40000 chars"],
)
def test_whole_password_is_hashed(text, oracle):
    assert hashwick.nthash(text) == expected(text)


@slow
@pytest.mark.skipif(PY2, reason="a 1.3 G character unicode object is a Python 3 test")
def test_more_than_2_gib_of_utf16(oracle):
    # 1.25 Gi characters of the 1-byte kind: 2.5 GiB as UTF-16LE, past any
    # 32-bit length, hashed whole.
    n = 5 * 2 ** 28
    text = u"Pa55" * (n // 4)
    step = 2 ** 24
    pieces = (text[i:i + step].encode("utf-16-le") for i in range(0, n, step))
    assert hashwick.nthash(text) == hexdigest(openssl_md4_pieces(pieces))


def test_no_case_folding():
    assert hashwick.nthash(u"password") != hashwick.nthash(u"PASSWORD")


@pytest.mark.skipif(PY2, reason="Python 2 decodes byte strings as ASCII")
def test_bytes_are_utf8():
    rng = random.Random(3)
    for _ in range(2000):
        text = random_text(rng, rng.randrange(40))
        assert hashwick.nthash(text.encode("utf-8")) == hashwick.nthash(text)


# Well- and ill-formed UTF-8 around every rule of the decoder: overlongs,
# encoded surrogates, values above U+10FFFF, truncation, stray continuations.
UTF8_EDGES = [
    b"\x7f", b"\x80", b"\xbf", b"\xc0\x80", b"\xc1\xbf", b"\xc2\x80", b"\xdf\xbf", b"\xc2",
    b"\xe0\x80\x80", b"\xe0\x9f\xbf", b"\xe0\xa0\x80", b"\xed\x9f\xbf", b"\xed\xa0\x80", b"\xed\xbf\xbf",
    b"\xee\x80\x80", b"\xef\xbf\xbf", b"\xe1\x80", b"\xe1\xc0\x80",
    b"\xf0\x80\x80\x80", b"\xf0\x8f\xbf\xbf", b"\xf0\x90\x80\x80", b"\xf4\x8f\xbf\xbf", b"\xf4\x90\x80\x80",
    b"\xf5\x80\x80\x80", b"\xff", b"\xf0\x90\x80", b"\xf1\x80\x80\xc0", b"ok\xe2\x82\xac", b"ok\xe2\x82",
]


def utf8_sweep():
    """Every lead byte from 0xC0 up with a second byte at each edge of the
    ranges the leads allow, and the rest at both ends of a continuation
    byte's range: each decoder rule's boundary from both sides."""
    seconds = [0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0]
    width = lambda lead: 2 if lead < 0xE0 else 3 if lead < 0xF0 else 4
    return [bytes(bytearray([lead, second] + [rest] * (width(lead) - 2))) for lead in range(0xC0, 0x100)
            for second in seconds for rest in (0x80, 0xBF)]


@pytest.mark.skipif(PY2, reason="Python 2 decodes byte strings as ASCII")
def test_utf8_decoding_matches_the_codec():
    rng = random.Random(4)
    # Each ill-formed piece twice and three times over as well: a fault
    # found again must not cancel the first.
    cases = UTF8_EDGES + [raw * 2 for raw in UTF8_EDGES] + [raw * 3 for raw in UTF8_EDGES] + utf8_sweep() + [
        bytes(bytearray(rng.choice([0x41, 0x80, 0xBF, 0xC2, 0xE0, 0xED, 0xF0, 0xF4, 0xFF, rng.getrandbits(8)])
                        for _ in range(rng.randrange(1, 8))))
        for _ in range(5000)
    ]
    for raw in cases:
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError as error:
            with pytest.raises(UnicodeDecodeError) as excinfo:
                hashwick.nthash(raw)
            assert excinfo.value.args == error.args
        else:
            assert hashwick.nthash(raw) == hashwick.nthash(text), raw


class Text(type(u"")):
    pass


class Bytes(bytes):
    pass


def test_subclasses_are_hashed_like_their_base():
    assert hashwick.nthash(Text(u"Password")) == VECTORS["nthash"][0]["hash"]
    assert hashwick.nthash(Bytes(b"Password")) == VECTORS["nthash"][0]["hash"]


