# -*- coding: utf-8 -*-
"""lmhash: the password cut to 14 bytes, zero-filled, ASCII upper-cased by
the locale, as the key of the LM one-way function."""
import os
import random
import subprocess
import sys

import pytest

import hashwick
from conftest import PY2, PYPY, VECTORS, hexdigest

if PY2:
    chr = unichr  # noqa: F821 (Python 2 only)


def byte_string(values):
    return bytes(bytearray(values))


def posix_upper(password):
    """Upper-casing as the POSIX locale does it: a-z only."""
    return byte_string(b - 32 if 0x61 <= b <= 0x7A else b for b in bytearray(password))


def expected(des_oracle, password):
    return hexdigest(des_oracle(posix_upper(password[:14]).ljust(14, b"\x00")))


@pytest.mark.parametrize("vector", VECTORS["lmhash"], ids=lambda v: v["source"])
def test_known_answers(vector):
    assert hashwick.lmhash(vector["password"]) == vector["hash"]
    assert hashwick.lmhash(vector["password"].encode("ascii")) == vector["hash"]


@pytest.mark.parametrize("length", [0, 1, 6, 7, 8, 13, 14, 15, 40])
def test_lengths(length, des_oracle):
    password = byte_string(random.Random(length).randrange(1, 256) for _ in range(length))
    result = hashwick.lmhash(password)
    assert result == expected(des_oracle, password)
    # Only the first 14 bytes count, and a short one leaves the second key zero.
    assert result == hashwick.lmhash(password[:14])
    if length <= 7:
        assert result[16:] == VECTORS["lmhash"][1]["hash"][16:]
    if length == 14:
        assert result != hashwick.lmhash(password[:13])


def test_random_passwords(des_oracle):
    rng = random.Random(5)
    for _ in range(2000):
        password = byte_string(rng.getrandbits(8) for _ in range(rng.randrange(20)))
        assert hashwick.lmhash(password) == expected(des_oracle, password)


def test_posix_case_folding_is_a_to_z_only():
    for b in range(256):
        folded = b - 32 if 0x61 <= b <= 0x7A else b
        assert hashwick.lmhash(byte_string([b, 0x61])) == hashwick.lmhash(byte_string([folded, 0x41])), b


def test_embedded_nul_is_key_material():
    assert hashwick.lmhash(b"a\x00b") != hashwick.lmhash(b"a")
    assert hashwick.lmhash(b"a\x00") == hashwick.lmhash(b"a")  # zero-filled anyway


@pytest.mark.skipif(PY2, reason="Python 2 encodes unicode as ASCII")
def test_text_is_its_utf8_bytes():
    rng = random.Random(6)
    for _ in range(2000):
        text = u"".join(chr(rng.choice([rng.randint(0x20, 0x7E), rng.randint(0xA0, 0x7FF),
                                        rng.randint(0x800, 0xD7FF), rng.randint(0x10000, 0x10FFFF)]))
                        for _ in range(rng.randrange(12)))
        # The cut at 14 bytes may fall inside a character.
        assert hashwick.lmhash(text) == hashwick.lmhash(text.encode("utf-8")), repr(text)


@pytest.mark.skipif(PY2, reason="Python 2 caches its default-encoded copy by design")
@pytest.mark.skipif(PYPY, reason="PyPy has no sys.getsizeof, and its str keeps no C-level UTF-8 cache")
def test_no_utf8_copy_is_cached_in_the_str():
    text = u"pässwörd-" + u"é" * 100
    before = sys.getsizeof(text)
    hashwick.lmhash(text)
    hashwick.hash(text)
    assert sys.getsizeof(text) == before


# Turkish in ISO-8859-9: toupper('i') is 0xDD (dotted capital I), and it maps
# 0xE0 to 0xC0, which lmhash must not apply to bytes above 0x7F.
LOCALE_SCRIPT = r"""
import locale, sys
import hashwick
locale.setlocale(locale.LC_CTYPE, "tr_TR.ISO-8859-9")
out = [hashwick.lmhash(b"i"), hashwick.lmhash(b"\xdd"), hashwick.lmhash(b"I"),
       hashwick.lmhash(b"\xe0"), hashwick.lmhash(b"\xc0"), hashwick.lmhash(u"i")]
sys.stdout.write(" ".join(out))
"""


def build_locale(tmpdir_factory, name, source, charmap):
    """A folder for LOCPATH holding locale name, built by localedef from
    source (a name it knows, or a file) and charmap; skips where it cannot."""
    if not sys.platform.startswith("linux"):
        # localedef's arguments and LOCPATH are glibc's (musl has neither
        # and skips below); macOS's and Windows's C libraries read neither.
        pytest.skip("the locale is built with glibc's localedef and found through LOCPATH")
    path = str(tmpdir_factory.mktemp("locale"))
    try:
        # -c: write it even with warnings (a made-up locale lacks every
        # category but LC_CTYPE); whether it was written is checked below.
        subprocess.call(["localedef", "-c", "-i", source(path) if callable(source) else source, "-f", charmap,
                         os.path.join(path, name)], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    except OSError:
        pytest.skip("localedef is missing")
    if not os.path.exists(os.path.join(path, name, "LC_CTYPE")):
        pytest.skip("localedef made no %s (is its source missing?)" % name)
    return path


@pytest.fixture(scope="module")
def turkish_locale(tmpdir_factory):
    return build_locale(tmpdir_factory, "tr_TR.ISO-8859-9", "tr_TR", "ISO-8859-9")


def test_locale_upper_cases_ascii_only(turkish_locale):
    env = dict(os.environ, LOCPATH=turkish_locale)
    out = subprocess.check_output([sys.executable, "-c", LOCALE_SCRIPT], env=env).decode().split()
    dotted_i, capital_dotted_i, capital_i, a_grave, capital_a_grave, text_i = out
    assert dotted_i == capital_dotted_i != capital_i
    assert text_i == dotted_i
    assert a_grave != capital_a_grave
    assert a_grave == hashwick.lmhash(b"\xe0")


# A made-up locale whose upper-casing changes every bit of an ASCII byte,
# below 0x40 and above, and also maps two high bytes (which lmhash must
# ignore), one of them 0x80, just past ASCII: no real locale changes bits
# 0-4 or 6 of an ASCII byte, or maps 0x80.
ODD_UPPER = {0x31: 0x4E, 0x61: 0x42, 0x71: 0xD1, 0x80: 0x81, 0xE9: 0xC9}
ODD_LOCALE = "xx_XX.ISO-8859-1"
ODD_SCRIPT = r"""
import locale, sys
import hashwick
locale.setlocale(locale.LC_CTYPE, %r)
for line in sys.stdin:
    sys.stdout.write(hashwick.lmhash(bytes(bytearray(int(b, 16) for b in line.split()))) + "\n")
""" % ODD_LOCALE


@pytest.fixture(scope="module")
def odd_locale(tmpdir_factory):
    def source(path):
        name = os.path.join(path, "source")
        with open(name, "w") as f:
            f.write("LC_CTYPE\ntoupper %s\nEND LC_CTYPE\n"
                    % ";".join("(<U%04X>,<U%04X>)" % pair for pair in sorted(ODD_UPPER.items())))
        return name

    return build_locale(tmpdir_factory, ODD_LOCALE, source, "ISO-8859-1")


def test_locale_may_change_any_bit_of_ascii(odd_locale, des_oracle):
    rng = random.Random(9)
    alphabet = sorted(ODD_UPPER) + [0x00, 0x30, 0x41, 0x42, 0x62, 0x7A, 0x7F, 0x81, 0xC9]
    passwords = [byte_string(rng.choice(alphabet) for _ in range(rng.randrange(16))) for _ in range(300)]
    passwords += [byte_string([b]) for b in alphabet]
    env = dict(os.environ, LOCPATH=odd_locale)
    lines = "".join(" ".join("%02x" % b for b in bytearray(p)) + "\n" for p in passwords)
    run = subprocess.Popen([sys.executable, "-c", ODD_SCRIPT], env=env, stdin=subprocess.PIPE,
                           stdout=subprocess.PIPE)
    out = run.communicate(lines.encode())[0].decode().split()
    assert run.returncode == 0
    for password, result in zip(passwords, out):
        upper = byte_string(ODD_UPPER.get(b, b) if b < 0x80 else b for b in bytearray(password[:14]))
        assert result == hexdigest(des_oracle(upper.ljust(14, b"\x00"))), password
    assert len(out) == len(passwords)
