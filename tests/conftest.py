"""Shared helpers: the known-answer file, the module's own shared object and
OpenSSL's libcrypto as an independent oracle, both through ctypes."""
import binascii
import ctypes
import ctypes.util
import io
import json
import os
import subprocess
import sys
import threading

import pytest

# Free-threaded CPython runs the suite with the GIL off, and importing a
# module that does not declare it safe without the GIL would turn it on for
# the rest of the process: that fails the run (pytest_sessionfinish).
GIL_OFF_AT_START = not getattr(sys, "_is_gil_enabled", lambda: True)()

import hashwick  # noqa: E402 - after the GIL's state is read

PY2 = sys.version_info[0] == 2
PYPY = sys.implementation.name == "pypy" if not PY2 else False
# PyPy 7.3's argument parser (Python 3.9) reads bytearray and memoryview
# under s# as their bytes; PyPy 8 (3.11) refuses them, as CPython does.
PARSER_TAKES_BUFFERS = PYPY and sys.version_info < (3, 11)
HERE = os.path.dirname(os.path.abspath(__file__))

with io.open(os.path.join(HERE, "vectors.json"), encoding="utf-8") as f:
    VECTORS = json.load(f)


def _native():
    lib = ctypes.CDLL(hashwick.__file__)
    lib.mdfour.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]
    lib.mdfour.restype = None
    lib.E_P16.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    lib.E_P16.restype = None
    return lib


def _libcrypto():
    if sys.platform == "darwin":
        # What find_library("crypto") finds there is the system's unversioned
        # /usr/lib/libcrypto.dylib, and macOS aborts a process that loads it:
        # the tests that need the oracle skip on macOS.
        return None
    for name in ("libcrypto.so.3", ctypes.util.find_library("crypto")):
        if not name:
            continue
        try:
            lib = ctypes.CDLL(name)
        except OSError:
            continue
        lib.MD4.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p]
        lib.MD4.restype = ctypes.c_void_p
        lib.MD4_Init.argtypes = [ctypes.c_char_p]
        lib.MD4_Update.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]
        lib.MD4_Final.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
        lib.DES_set_key_unchecked.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
        lib.DES_set_key_unchecked.restype = None
        lib.DES_ecb_encrypt.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]
        lib.DES_ecb_encrypt.restype = None
        return lib
    return None


NATIVE = _native()
LIBCRYPTO = _libcrypto()


# Free-threaded 3.13's ctypes races with itself when two threads make
# objects of one ctypes type at once (a flag of the type is written each
# time; 3.14 mends it): the helpers make every object under this lock.
_MAKING = threading.Lock()


def buffer(size):
    with _MAKING:
        return ctypes.create_string_buffer(size)


def mdfour(message, length=None):
    """The module's exported MD4, as raw bytes."""
    out = buffer(16)
    NATIVE.mdfour(out, message, len(message) if length is None else length)
    return out.raw


def E_P16(key14):
    """The module's exported LM one-way function, as raw bytes."""
    out = buffer(16)
    NATIVE.E_P16(key14, out)
    return out.raw


def spread_key(key7):
    """Seven key bytes over the top seven bits of eight; parity bits zero."""
    bits = int(binascii.hexlify(key7), 16)
    return bytes(bytearray(((bits >> (49 - 7 * i)) & 0x7F) << 1 for i in range(8)))


def openssl_lm(key14):
    """LMOWFv1 from OpenSSL's DES: "KGS!@#$%" under each 7-byte half."""
    out = b""
    for half in (key14[:7], key14[7:14]):
        schedule = buffer(128)
        block = buffer(8)
        LIBCRYPTO.DES_set_key_unchecked(spread_key(half), schedule)
        LIBCRYPTO.DES_ecb_encrypt(b"KGS!@#$%", block, schedule, 1)
        out += block.raw
    return out


def filled(size, byte):
    """A ctypes array of size bytes, each byte, filled in place: PyPy would
    copy a bytes object of that size at every foreign call."""
    with _MAKING:
        array = (ctypes.c_char * size)()
    ctypes.memset(array, byte, size)
    return array


def c_array(data):
    """A copy of data for a foreign call. PyPy converts a bytes argument
    itself far more slowly (seconds for 20 MiB) than this copy takes."""
    with _MAKING:
        return (ctypes.c_char * len(data)).from_buffer_copy(data)


def openssl_md4(message):
    out = buffer(16)
    LIBCRYPTO.MD4(c_array(message), len(message), out)
    return out.raw


def openssl_md4_pieces(pieces):
    """OpenSSL's MD4 over the concatenation of an iterable of byte strings."""
    context = buffer(256)  # MD4_CTX is 92 bytes
    out = buffer(16)
    LIBCRYPTO.MD4_Init(context)
    for piece in pieces:
        LIBCRYPTO.MD4_Update(context, c_array(piece), len(piece))
    LIBCRYPTO.MD4_Final(out, context)
    return out.raw


slow = pytest.mark.skipif(not os.environ.get("HASHWICK_SLOW"), reason="slow; set HASHWICK_SLOW=1")
# A program of the test's own, built from src/ and run: what it checks is
# the same whatever the interpreter, so CI, which tests a wheel for every
# interpreter, runs these with the first only (-m "not native_program").
native_program = pytest.mark.native_program


def pytest_configure(config):
    config.addinivalue_line("markers", "native_program: builds and runs a program of its own from src/")
    # pytest-run-parallel's marker, known where the plugin is not installed.
    config.addinivalue_line("markers", "thread_unsafe(reason): runs on one thread under pytest-run-parallel")
    if GIL_OFF_AT_START:
        # The test whose import turns the GIL on fails at once.
        config.addinivalue_line("filterwarnings", "error:The global interpreter lock:RuntimeWarning")


def pytest_sessionfinish(session):
    if GIL_OFF_AT_START and sys._is_gil_enabled():
        session.config.pluginmanager.get_plugin("terminalreporter").write_line(
            "FAILED: the GIL was turned on during the run", red=True)
        session.exitstatus = 1


def hexdigest(raw):
    return "".join("%02X" % c for c in bytearray(raw))


def _need_libcrypto():
    if LIBCRYPTO is None:
        pytest.skip("OpenSSL's libcrypto is not installed")


@pytest.fixture
def oracle():
    _need_libcrypto()
    return openssl_md4


@pytest.fixture
def des_oracle():
    _need_libcrypto()
    return openssl_lm


def run_in_threads(call, inputs, expected, calls_per_thread):
    """Eight threads, started together, call call(input) round-robin from
    offsets spread over the inputs; returns the indices of wrong results.
    ctypes drops the GIL around foreign calls, so native calls really
    overlap; without a GIL, every call does."""
    failures = []
    start = threading.Event()

    def work(offset):
        start.wait()
        for k in range(calls_per_thread):
            i = (offset + k) % len(inputs)
            if call(inputs[i]) != expected[i]:
                failures.append(i)

    threads = [threading.Thread(target=work, args=(t * len(inputs) // 8,)) for t in range(8)]
    for t in threads:
        t.start()
    start.set()
    for t in threads:
        t.join()
    return failures


def exported_symbols(path):
    if not sys.platform.startswith("linux"):
        # macOS prefixes the names with "_" and has no -D; a Windows DLL's
        # exports are no ELF dynamic symbols (.ci/windows checks them).
        pytest.skip("the export table is read as ELF dynamic symbols, with nm -D")
    out = subprocess.check_output(["nm", "-D", "--defined-only", path])
    return sorted(line.split()[-1] for line in out.decode().splitlines() if line.strip())
