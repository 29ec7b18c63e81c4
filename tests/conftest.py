"""Shared helpers: the known-answer file, the module's own shared object and
OpenSSL's libcrypto as an independent oracle, both through ctypes."""
import ctypes
import ctypes.util
import io
import json
import os
import subprocess
import sys

import pytest

import hashwick

PY2 = sys.version_info[0] == 2
HERE = os.path.dirname(os.path.abspath(__file__))

with io.open(os.path.join(HERE, "vectors.json"), encoding="utf-8") as f:
    VECTORS = json.load(f)


def _native():
    lib = ctypes.CDLL(hashwick.__file__)
    lib.mdfour.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]
    lib.mdfour.restype = None
    return lib


def _libcrypto():
    for name in ("libcrypto.so.3", ctypes.util.find_library("crypto")):
        if not name:
            continue
        try:
            lib = ctypes.CDLL(name)
        except OSError:
            continue
        lib.MD4.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p]
        lib.MD4.restype = ctypes.c_void_p
        return lib
    return None


NATIVE = _native()
LIBCRYPTO = _libcrypto()


def mdfour(message, length=None):
    """The module's exported MD4, as raw bytes."""
    out = ctypes.create_string_buffer(16)
    NATIVE.mdfour(out, message, len(message) if length is None else length)
    return out.raw


def openssl_md4(message):
    out = ctypes.create_string_buffer(16)
    LIBCRYPTO.MD4(message, len(message), out)
    return out.raw


def hexdigest(raw):
    return "".join("%02X" % c for c in bytearray(raw))


@pytest.fixture
def oracle():
    if LIBCRYPTO is None:
        pytest.skip("OpenSSL's libcrypto is not installed")
    return openssl_md4


def exported_symbols(path):
    out = subprocess.check_output(["nm", "-D", "--defined-only", path])
    return sorted(line.split()[-1] for line in out.decode().splitlines() if line.strip())
