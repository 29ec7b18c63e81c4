"""The exported E_P16 (DES of "KGS!@#$%" under two 7-byte keys) against
OpenSSL's DES."""
import os
import platform
import random
import subprocess

from conftest import E_P16, HERE, VECTORS, hexdigest, native_program, run_in_threads
from test_native import BUILDS, build


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


def links(tmpdir, flags):
    source = tmpdir.join("empty.cpp")
    source.write("int main() { return 0; }\n")
    try:
        return subprocess.call(["g++"] + flags + [str(source), "-o", str(tmpdir.join("empty"))],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE) == 0
    except OSError:
        return False


@native_program
@BUILDS
def test_every_form_gives_the_known_answers_and_agrees_with_openssl(tmpdir, des_oracle, variant):
    """Each DES form this CPU runs, forced by name: the known LM answers and
    OpenSSL's DES on random keys, all key bits set and clear among them."""
    flags = ["-std=c++17", "-O3", "-Wall", "-Wextra"] + variant
    sanitizers = ["-fsanitize=address,undefined", "-fno-sanitize-recover=all"]
    if platform.machine() in ("x86_64", "AMD64") and links(tmpdir, sanitizers):
        # Every form under AddressSanitizer and UBSan too, where they run
        # (not under qemu's emulation of other CPUs, nor where the compiler
        # has no runtime for them: musl, manylinux's toolset).
        flags += sanitizers
    exe = build(tmpdir, "g++", [os.path.join(HERE, "native", "forms.cpp")], flags)
    known = [(v["password"].upper().encode("ascii").ljust(14, b"\0"), v["hash"]) for v in VECTORS["lmhash"]]
    rng = random.Random(1977)
    keys = [k for k, _ in known] + [b"\xff" * 14, b"\x80\x01" * 7] + [random_key(rng) for _ in range(500)]
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")
    env.pop("LD_PRELOAD", None)
    run = subprocess.Popen([exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
    out = run.communicate("".join(hexdigest(k) + "\n" for k in keys).encode())[0].decode().splitlines()
    assert run.returncode == 0
    forms, results = out[0].split(), [line.split() for line in out[1:]]
    assert "portable" in forms and len(results) == len(keys)
    for (_, expected), result in zip(known, results):
        assert result == [expected] * len(forms)
    for key, result in zip(keys, results):
        assert result == [hexdigest(des_oracle(key))] * len(forms), hexdigest(key)
