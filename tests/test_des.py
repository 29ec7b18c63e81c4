"""The exported E_P16 (DES of "KGS!@#$%" under two 7-byte keys) against
OpenSSL's DES."""
import os
import random

from conftest import E_P16, run_in_threads


def random_key(rng):
    return bytes(bytearray(rng.getrandbits(8) for _ in range(14)))


def flip(key, bit):
    key = bytearray(key)
    key[bit // 8] ^= 0x80 >> (bit % 8)
    return bytes(key)


def test_random_keys(des_oracle):
    rng = random.Random(46)
    for _ in range(3000):
        key = random_key(rng)
        assert E_P16(key) == des_oracle(key)


def test_every_key_bit_matters_to_its_own_half_only(des_oracle):
    rng = random.Random(3)
    for key in [b"\x00" * 14, b"\xff" * 14, random_key(rng), random_key(rng)]:
        base = E_P16(key)
        for bit in range(112):
            changed = E_P16(flip(key, bit))
            assert changed == des_oracle(flip(key, bit))
            mine, other = (slice(0, 8), slice(8, 16)) if bit < 56 else (slice(8, 16), slice(0, 8))
            assert changed[mine] != base[mine], bit
            assert changed[other] == base[other], bit


def test_equal_key_halves_give_equal_hash_halves():
    for half in [b"\x00" * 7, b"PASSWOR", os.urandom(7)]:
        result = E_P16(half + half)
        assert result[:8] == result[8:]


def test_concurrent_calls(des_oracle):
    rng = random.Random(8)
    keys = [random_key(rng) for _ in range(64)]
    assert run_in_threads(E_P16, keys, [des_oracle(k) for k in keys], 2000) == []
