"""The exported mdfour against RFC 1320's test suite and OpenSSL's MD4."""
import binascii
import random

import pytest

from conftest import VECTORS, filled, mdfour, run_in_threads


def random_bytes(rng, n):
    return bytes(bytearray(rng.getrandbits(8) for _ in range(n)))


@pytest.mark.parametrize("vector", VECTORS["md4"], ids=lambda v: repr(v["message"][:20]))
def test_rfc1320_suite(vector):
    assert mdfour(vector["message"].encode("ascii")) == binascii.unhexlify(vector["digest"])


# One block, two final blocks, a block in the loop then a tail, on either
# side of the 55/56-byte boundary where the length field stops fitting.
@pytest.mark.parametrize("length", [0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129, 1000])
def test_block_boundaries(length, oracle):
    message = random_bytes(random.Random(length), length)
    assert mdfour(message) == oracle(message)


def test_random_messages(oracle):
    rng = random.Random(1320)
    for _ in range(3000):
        message = random_bytes(rng, rng.randrange(300))
        assert mdfour(message) == oracle(message)


@pytest.mark.parametrize("length", [-1, -64, -(2 ** 31)])
def test_negative_length_is_the_empty_message(length):
    # A null message: any read through it would crash the test process.
    assert mdfour(None, length) == mdfour(b"")
    assert mdfour(b"abc", length) == mdfour(b"")


def test_bit_count_beyond_32_bits(oracle):
    # 2^29 + 3 bytes: the bit count no longer fits in 32 bits.
    message = filled(2 ** 29 + 3, 0x5A)
    assert mdfour(message) == oracle(message)


def test_concurrent_calls(oracle):
    rng = random.Random(7)
    messages = [random_bytes(rng, rng.randrange(100, 3000)) for _ in range(64)]
    assert run_in_threads(mdfour, messages, [oracle(m) for m in messages], 150) == []
