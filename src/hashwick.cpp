// hashwick.cpp - the Python module: LM and NT hashes of a password as text.
//
// One source for Python 2.7 and 3: results are the native str of each
// (bytes on 2, text on 3). On 2.7 the argument parser does the encoding;
// on 3 a str is encoded here, on the stack, so that no copy of the
// password is left behind unwiped (not even the UTF-8 copy the parser
// would cache inside the caller's str).
//
// No password character chooses a branch or a memory address, except
// where its encoding must: whether the text can be encoded at all, and how
// many bytes or units each character takes. Those two facts are declared
// public in one place each (public_validity, public_width). The text
// forms come first and use no interpreter API, so that the constant-time
// check can drive them natively (HASHWICK_NO_PYTHON).
#if !defined(HASHWICK_NO_PYTHON)
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#endif

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "hashwick.h"
#include "primitives.hpp"

namespace {

using hashwick::declassify;
using hashwick::digest_size;
using hashwick::opaque;
using hashwick::wipe;

constexpr char HEXCHARS[] = "0123456789ABCDEF";
constexpr std::size_t hex_size = 2 * digest_size;
constexpr std::size_t lm_key_size = 14;

// Comparisons as arithmetic, 1 or 0, for values below 2^31: a compiler
// may not see them as conditions to branch on.
inline std::uint32_t below(std::uint32_t a, std::uint32_t b) { return opaque(a - b) >> 31; }

// ---- Hex text.

// A digit computed, not looked up in HEXCHARS: a digest nibble may not
// choose an address.
constexpr char hex_digit(unsigned v) { return char('0' + v + (((9 - v) >> 8) & 7)); }

constexpr bool hex_digits_are_hexchars() {
    for (unsigned v = 0; v < 16; ++v)
        if (hex_digit(v) != HEXCHARS[v]) return false;
    return true;
}
static_assert(hex_digits_are_hexchars(), "hex digits must be HEXCHARS");

void render_hex(char *text, const std::uint8_t digest[digest_size]) {
    for (std::size_t i = 0; i < digest_size; ++i) {
        unsigned byte = opaque(unsigned(digest[i]));
        text[2 * i] = hex_digit(byte >> 4);
        text[2 * i + 1] = hex_digit(byte & 0xF);
    }
}

// ---- LM key material.

// The calling thread's upper-casing of 0x00-0x7F as the bits it flips:
// bit c of plane o (two words) says whether toupper flips bit o of byte c.
// Read whole, in order, so that no password byte indexes the locale.
struct CaseFlips {
    std::uint64_t plane[8][2];
    unsigned planes; // bit o set if plane o is not empty
};

#if defined(__GLIBC__)
constexpr auto make_c_locale_upper() {
    struct {
        std::int32_t upper[128];
    } t{};
    for (int c = 0; c < 128; ++c) t.upper[c] = c >= 'a' && c <= 'z' ? c - 32 : c;
    return t;
}
constexpr auto c_locale_upper = make_c_locale_upper();
#endif

CaseFlips thread_case_flips() {
    CaseFlips flips{};
#if defined(__GLIBC__)
    // What toupper reads for the calling thread's locale.
    const std::int32_t *upper = *__ctype_toupper_loc();
    // Most locales change just a-z, as the C locale does.
    if (std::memcmp(upper, c_locale_upper.upper, sizeof c_locale_upper.upper) == 0) {
        flips.plane[5][1] = 0x07FFFFFE00000000; // 0x61-0x7A
        flips.planes = 1 << 5;
        return flips;
    }
#define HASHWICK_UPPER(c) upper[c]
#else
#define HASHWICK_UPPER(c) std::toupper(c)
#endif
    for (int c = 0; c < 128; ++c) {
        unsigned flip = unsigned(HASHWICK_UPPER(c) ^ c) & 0xFF;
        for (int o = 0; o < 8; ++o)
            if ((flip >> o) & 1) flips.plane[o][c >> 6] |= std::uint64_t(1) << (c & 63);
        flips.planes |= flip;
    }
#undef HASHWICK_UPPER
    return flips;
}

// The LM key from a password's bytes: cut to 14, zero-filled, and bytes
// 0x00-0x7F upper-cased by the calling thread's locale; higher bytes are
// left alone whatever the locale says of them.
void lm_key(const std::uint8_t *password, std::size_t n, std::uint8_t key[lm_key_size]) {
    CaseFlips flips = thread_case_flips();
    std::memset(key, 0, lm_key_size);
    if (n > lm_key_size) n = lm_key_size;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t c = password[i], low = c & 0x7F;
        std::uint64_t upper_half = 0 - std::uint64_t(opaque(low >> 6));
        std::uint32_t flip = 0;
        for (int o = 0; o < 8; ++o) {
            if (!((flips.planes >> o) & 1)) continue;
            std::uint64_t plane = flips.plane[o][0] ^ ((flips.plane[o][0] ^ flips.plane[o][1]) & upper_half);
            // The shifted plane is made in a register: left to itself, clang
            // tests the bit with `bt`, which memcheck takes for an address
            // (it is not one, nor slower for any index: a limit of the check).
            flip |= std::uint32_t(opaque(plane >> (low & 63)) & 1) << o;
        }
        key[i] = std::uint8_t(c ^ (flip & below(c, 0x80) * 0xFF));
    }
}

#if defined(HASHWICK_NO_PYTHON) || PY_MAJOR_VERSION >= 3

// ---- What the encoding makes public.

// Whether the password can be encoded at all: bad is nonzero if not.
inline bool public_validity(std::uint32_t bad) { return declassify(bad) != 0; }

// How many bytes (UTF-8) or code units (UTF-16) a character takes.
inline unsigned public_width(unsigned width) { return declassify(width); }

inline std::uint32_t equal(std::uint32_t a, std::uint32_t b) { return opaque((a ^ b) - 1) >> 31; }
inline std::uint32_t is_surrogate(std::uint32_t cp) { return equal(cp & 0xFFFFF800, 0xD800); }

// ---- UTF-16LE, a chunk at a time.

// UTF-16LE code units gathered on the stack and handed to MD4 a few blocks
// at a time.
struct Utf16Stream {
    std::uint32_t abcd[4];
    std::uint64_t hashed;   // bytes already taken by MD4
    std::size_t used;       // bytes waiting in chunk
    std::size_t high_water; // how much of chunk has ever held password bytes
    std::uint8_t chunk[4 * hashwick::md4_block_size];
};

void stream_start(Utf16Stream &s) {
    hashwick::md4_start(s.abcd);
    s.hashed = 0;
    s.used = 0;
    s.high_water = 0;
}

// A character is written as two units even when it takes one, so up to two
// bytes past `used` may hold password bytes too.
void note_high_water(Utf16Stream &s) {
    std::size_t reach = s.used + 2 < sizeof s.chunk ? s.used + 2 : sizeof s.chunk;
    if (reach > s.high_water) s.high_water = reach;
}

// Hashes the whole blocks in chunk and moves what is left to its start.
void stream_flush(Utf16Stream &s) {
    std::size_t blocks = s.used / hashwick::md4_block_size, done = blocks * hashwick::md4_block_size;
    hashwick::md4_blocks(s.abcd, s.chunk, blocks);
    note_high_water(s);
    std::memmove(s.chunk, s.chunk + done, s.used - done);
    s.hashed += done;
    s.used -= done;
}

inline void put_unit(std::uint8_t *out, std::uint32_t unit) {
    out[0] = std::uint8_t(unit);
    out[1] = std::uint8_t(unit >> 8);
}

// A code point as one code unit, or above U+FFFF as a surrogate pair; there
// must be room for four bytes, all of which are written.
inline std::size_t put_code_point(std::uint8_t *out, std::uint32_t cp) {
    std::uint32_t pair = below(0xFFFF, cp), v = cp - 0x10000, as_pair = 0 - pair;
    put_unit(out, (cp & ~as_pair) | ((0xD800 | (v >> 10)) & as_pair));
    put_unit(out + 2, 0xDC00 | (v & 0x3FF));
    return 2 + 2 * public_width(pair);
}

inline void stream_code_point(Utf16Stream &s, std::uint32_t cp) {
    if (s.used > sizeof s.chunk - 4) stream_flush(s);
    s.used += put_code_point(s.chunk + s.used, cp);
}

void stream_finish(Utf16Stream &s, std::uint8_t digest[digest_size]) {
    note_high_water(s);
    hashwick::md4_finish(s.abcd, s.chunk, s.used, s.hashed + s.used, digest);
    wipe(s.chunk, s.high_water);
}

// An error path: the widening may have written past `used` before it stopped.
void stream_abandon(Utf16Stream &s) {
    wipe(s.chunk);
    wipe(s.abcd);
}

// Widens a str's code points; false if any is a surrogate, which the codec
// refuses. Works a chunk at a time so the inner loop has no checks to make
// for the 1- and 2-byte kinds.
template <typename Unit>
bool stream_units(Utf16Stream &s, const Unit *p, std::size_t n) {
    constexpr std::size_t widest = sizeof(Unit) == 4 ? 4 : 2;
    std::uint32_t bad = 0;
    while (n > 0) {
        if (s.used > sizeof s.chunk - widest) stream_flush(s);
        std::size_t take = (sizeof s.chunk - s.used) / widest;
        if (take > n) take = n;
        std::uint8_t *out = s.chunk + s.used;
        for (std::size_t i = 0; i < take; ++i) {
            std::uint32_t cp = p[i];
            if (sizeof(Unit) == 1) {
                put_unit(out + 2 * i, cp);
                continue;
            }
            bad |= is_surrogate(cp);
            if (sizeof(Unit) == 2)
                put_unit(out + 2 * i, cp);
            else
                out += put_code_point(out, cp);
        }
        s.used = sizeof(Unit) == 4 ? std::size_t(out - s.chunk) : s.used + 2 * take;
        p += take;
        n -= take;
    }
    return !public_validity(bad);
}

// Strict UTF-8, exactly what the codec accepts: no overlong forms, no
// surrogates, nothing above U+10FFFF. Each sequence's length is read from
// its first byte; whether the whole is well formed is gathered as it goes.
bool stream_utf8(Utf16Stream &s, const std::uint8_t *p, std::size_t n) {
    std::uint32_t bad = 0;
    for (std::size_t i = 0; i < n;) {
        std::uint32_t b0 = p[i];
        // 1 below 0xC0 (0x80-0xBF cannot lead: counted bad below), 2 to 4 above.
        unsigned width = public_width(1 + below(0xBF, b0) + below(0xDF, b0) + below(0xEF, b0));
        if (n - i < width) return false;
        std::uint32_t cp;
        if (width == 1) {
            bad |= b0 >> 7;
            cp = b0;
        } else {
            std::uint32_t b1 = p[i + 1], b2 = width > 2 ? p[i + 2] : 0x80, b3 = width > 3 ? p[i + 3] : 0x80;
            // Each width's range for the second byte, which rules out the
            // overlong forms, the surrogates and what lies past U+10FFFF.
            std::uint32_t lo = 0x80, hi = 0xBF;
            if (width == 2) {
                bad |= below(b0, 0xC2);
                cp = (b0 & 0x1F) << 6 | (b1 & 0x3F);
            } else if (width == 3) {
                lo += 0x20 * equal(b0, 0xE0);
                hi -= 0x20 * equal(b0, 0xED);
                cp = (b0 & 0x0F) << 12 | (b1 & 0x3F) << 6 | (b2 & 0x3F);
            } else {
                bad |= below(0xF4, b0);
                lo += 0x10 * equal(b0, 0xF0);
                hi -= 0x30 * equal(b0, 0xF4);
                cp = (b0 & 0x07) << 18 | (b1 & 0x3F) << 12 | (b2 & 0x3F) << 6 | (b3 & 0x3F);
            }
            bad |= below(b1, lo) | below(hi, b1) | (equal(b2 & 0xC0, 0x80) ^ 1) | (equal(b3 & 0xC0, 0x80) ^ 1);
        }
        stream_code_point(s, cp);
        i += width;
    }
    return !public_validity(bad);
}

// ---- UTF-8 for the LM key.

// The first bytes of a text's UTF-8 form, up to lm_key_size of them (the
// last character may be cut), and its length; -1 if the text holds a
// surrogate anywhere, which UTF-8 cannot encode.
template <typename Unit>
std::ptrdiff_t utf8_prefix(const Unit *p, std::size_t n, std::uint8_t out[lm_key_size]) {
    std::uint8_t buf[lm_key_size + 3];
    std::size_t len = 0, i = 0;
    std::uint32_t bad = 0;
    for (; i < n && len < lm_key_size; ++i) {
        std::uint32_t cp = p[i];
        bad |= is_surrogate(cp);
        unsigned width = public_width(1 + below(0x7F, cp) + below(0x7FF, cp) + below(0xFFFF, cp));
        std::uint8_t *b = buf + len;
        switch (width) {
        case 1: b[0] = std::uint8_t(cp); break;
        case 2:
            b[0] = std::uint8_t(0xC0 | cp >> 6);
            b[1] = std::uint8_t(0x80 | (cp & 0x3F));
            break;
        case 3:
            b[0] = std::uint8_t(0xE0 | cp >> 12);
            b[1] = std::uint8_t(0x80 | ((cp >> 6) & 0x3F));
            b[2] = std::uint8_t(0x80 | (cp & 0x3F));
            break;
        default:
            b[0] = std::uint8_t(0xF0 | cp >> 18);
            b[1] = std::uint8_t(0x80 | ((cp >> 12) & 0x3F));
            b[2] = std::uint8_t(0x80 | ((cp >> 6) & 0x3F));
            b[3] = std::uint8_t(0x80 | (cp & 0x3F));
        }
        len += width;
    }
    if (len > lm_key_size) len = lm_key_size;
    std::memcpy(out, buf, len);
    wipe(buf);
    // Characters beyond the cut are never encoded, only looked at.
    for (; sizeof(Unit) > 1 && i < n; ++i) bad |= is_surrogate(p[i]);
    return public_validity(bad) ? -1 : std::ptrdiff_t(len);
}

#endif

} // namespace

#if !defined(HASHWICK_NO_PYTHON)

namespace {

// clang-format off
constexpr char module_doc[] =
    "This module generates SMB lanman and nt password\n"
    "hashes suitable for use with Samba.\n"
    "\n"
    "Functions:\n"
    "\n"
    "  lmhash(passwd) -- return a string containing the lanman\n"
    "                    hash of the password\n"
    "  nthash(passwd) -- return a string containing the nt hash\n"
    "                    of the password\n"
    "  hash(passwd)   -- return a tuple containing the both the\n"
    "                    lanman hash and the nt hash strings\n";
// clang-format on

PyObject *digest_text(const std::uint8_t digest[digest_size]) {
#if PY_MAJOR_VERSION >= 3
    PyObject *text = PyUnicode_New(hex_size, 127);
    if (text) render_hex(reinterpret_cast<char *>(PyUnicode_1BYTE_DATA(text)), digest);
    return text;
#else
    char text[hex_size];
    render_hex(text, digest);
    return PyString_FromStringAndSize(text, hex_size);
#endif
}

#if PY_MAJOR_VERSION >= 3

// Calls visit(units, length) with the str's code points in their stored width.
template <typename Visit>
auto visit_units(PyObject *str, Visit visit) {
    const void *data = PyUnicode_DATA(str);
    auto n = std::size_t(PyUnicode_GET_LENGTH(str));
    switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND: return visit(static_cast<const Py_UCS1 *>(data), n);
    case PyUnicode_2BYTE_KIND: return visit(static_cast<const Py_UCS2 *>(data), n);
    default: return visit(static_cast<const Py_UCS4 *>(data), n);
    }
}

// Strs made by the old Py_UNICODE API need converting before their data is read.
inline bool ready(PyObject *str) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(str) == 0;
#else
    (void)str;
    return true;
#endif
}

bool stream_str(Utf16Stream &s, PyObject *str) {
    return ready(str) && visit_units(str, [&s](const auto *units, std::size_t n) { return stream_units(s, units, n); });
}

// The interpreter's codecs, asked for their own errors, work on the stack
// below the caller and may leave pieces of the password there (an encoder
// keeps a small output buffer on its frame): zeroed once they return.
inline void scrub_codec_stack() { hashwick::scrub_stack<8192>(); }

// NT digest of a str. On a surrogate the codec itself is asked, so the
// caller sees exactly its UnicodeEncodeError.
bool nt_digest_str(PyObject *str, std::uint8_t digest[digest_size]) {
    Utf16Stream s;
    stream_start(s);
    if (stream_str(s, str)) {
        stream_finish(s, digest);
        return true;
    }
    stream_abandon(s);
    if (PyErr_Occurred()) return false;
    PyObject *encoded = PyUnicode_AsEncodedString(str, "utf-16le", nullptr);
    scrub_codec_stack();
    if (!encoded) return false;
    // Not reached while the codec refuses surrogates; hash what it gave.
    hashwick::md4(digest, reinterpret_cast<const std::uint8_t *>(PyBytes_AS_STRING(encoded)),
                  std::size_t(PyBytes_GET_SIZE(encoded)));
    Py_DECREF(encoded);
    return true;
}

// NT digest of bytes: decoded as UTF-8 (the default encoding), then as a str.
bool nt_digest_bytes(const char *bytes, Py_ssize_t n, std::uint8_t digest[digest_size]) {
    Utf16Stream s;
    stream_start(s);
    if (stream_utf8(s, reinterpret_cast<const std::uint8_t *>(bytes), std::size_t(n))) {
        stream_finish(s, digest);
        return true;
    }
    stream_abandon(s);
    // Ill-formed: let the codec raise its own UnicodeDecodeError.
    PyObject *str = PyUnicode_DecodeUTF8(bytes, n, nullptr);
    scrub_codec_stack();
    if (!str) return false;
    bool ok = nt_digest_str(str, digest);
    Py_DECREF(str);
    return ok;
}

// The one positional argument, when it is a str; else nullptr and the
// caller goes through the argument parser, whose errors callers see.
inline PyObject *str_argument(PyObject *args) {
    if (PyTuple_GET_SIZE(args) != 1) return nullptr;
    PyObject *arg = PyTuple_GET_ITEM(args, 0);
    return PyUnicode_Check(arg) ? arg : nullptr;
}

#endif

// The password's bytes under the parser's s# rule. A lone bytes argument is
// read directly, which is what the parser would do, minus its cost.
inline bool bytes_argument(PyObject *args, const char *&password, Py_ssize_t &n) {
#if PY_MAJOR_VERSION >= 3
    if (PyTuple_GET_SIZE(args) == 1 && PyBytes_CheckExact(PyTuple_GET_ITEM(args, 0))) {
        PyObject *arg = PyTuple_GET_ITEM(args, 0);
        password = PyBytes_AS_STRING(arg);
        n = PyBytes_GET_SIZE(arg);
        return true;
    }
#endif
    return PyArg_ParseTuple(args, "s#", &password, &n) != 0;
}

#if PY_MAJOR_VERSION >= 3

// LM key material of a str; false with the codec's UnicodeEncodeError set
// if it holds a surrogate, exactly as the parser's s# rule fails.
bool lm_prefix_str(PyObject *str, std::uint8_t out[lm_key_size], Py_ssize_t &len) {
    if (!ready(str)) return false;
    len = visit_units(str, [out](const auto *units, std::size_t n) { return utf8_prefix(units, n, out); });
    if (len >= 0) return true;
    // A fresh bytes object, unlike the parser's, is not cached in the str.
    PyObject *utf8 = PyUnicode_AsUTF8String(str);
    scrub_codec_stack();
    if (!utf8) return false;
    // Not reached while UTF-8 refuses surrogates; use what the codec gave.
    len = PyBytes_GET_SIZE(utf8) < Py_ssize_t(lm_key_size) ? PyBytes_GET_SIZE(utf8) : Py_ssize_t(lm_key_size);
    std::memcpy(out, PyBytes_AS_STRING(utf8), std::size_t(len));
    Py_DECREF(utf8);
    return true;
}

#endif

// The LM hash of a password's bytes.
PyObject *lm_text(const std::uint8_t *password, std::size_t n) {
    std::uint8_t key[lm_key_size];
    lm_key(password, n, key);
    std::uint8_t hash16[digest_size] = {};
    E_P16(key, hash16);
    wipe(key);
    return digest_text(hash16);
}

PyObject *lmhash(PyObject *, PyObject *args) {
#if PY_MAJOR_VERSION >= 3
    if (PyObject *str = str_argument(args)) {
        std::uint8_t prefix[lm_key_size];
        Py_ssize_t n;
        bool ok = lm_prefix_str(str, prefix, n);
        PyObject *text = ok ? lm_text(prefix, std::size_t(n)) : nullptr;
        wipe(prefix); // the failing path may have filled it too
        return text;
    }
#endif
    const char *password;
    Py_ssize_t n;
    if (!bytes_argument(args, password, n)) return nullptr;
    return lm_text(reinterpret_cast<const std::uint8_t *>(password), std::size_t(n));
}

PyObject *nthash(PyObject *, PyObject *args) {
    std::uint8_t digest[digest_size] = {};
#if PY_MAJOR_VERSION >= 3
    if (PyObject *str = str_argument(args)) {
        if (!nt_digest_str(str, digest)) return nullptr;
    } else {
        const char *bytes;
        Py_ssize_t n;
        if (!bytes_argument(args, bytes, n) || !nt_digest_bytes(bytes, n, digest)) return nullptr;
    }
#else
    char *encoded = nullptr;
    Py_ssize_t n;
    if (!PyArg_ParseTuple(args, "es#", "utf-16le", &encoded, &n)) return nullptr;
    hashwick::md4(digest, reinterpret_cast<std::uint8_t *>(encoded), std::size_t(n));
    wipe(encoded, std::size_t(n));
    PyMem_Free(encoded);
#endif
    return digest_text(digest);
}

// Both hashes; the LM half first. The halves parse the argument by their
// own rules, so either may fail alone, and then there is no pair.
PyObject *hash(PyObject *self, PyObject *args) {
    PyObject *pair = PyTuple_New(2);
    if (!pair) return nullptr;
    PyObject *lm = lmhash(self, args);
    if (!lm) {
        Py_DECREF(pair);
        return nullptr;
    }
    PyTuple_SetItem(pair, 0, lm);
    PyObject *nt = nthash(self, args);
    if (!nt) {
        Py_DECREF(pair);
        return nullptr;
    }
    PyTuple_SetItem(pair, 1, nt);
    return pair;
}

PyMethodDef hashwick_functions[] = {
    {"lmhash", lmhash, METH_VARARGS, nullptr},
    {"nthash", nthash, METH_VARARGS, nullptr},
    {"hash", hash, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

#if PY_MAJOR_VERSION >= 3

PyModuleDef_Slot hashwick_slots[] = {
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef hashwick_module = {
    PyModuleDef_HEAD_INIT, "hashwick", module_doc, 0, hashwick_functions, hashwick_slots, nullptr, nullptr, nullptr,
};

#endif

} // namespace

// Python's own PyMODINIT_FUNC does not mark the entry point visible on every
// version, and everything else here is hidden.
#if PY_MAJOR_VERSION >= 3
extern "C" HASHWICK_API PyObject *PyInit_hashwick(void);
PyMODINIT_FUNC PyInit_hashwick(void) { return PyModuleDef_Init(&hashwick_module); }
#else
extern "C" HASHWICK_API void inithashwick(void);
PyMODINIT_FUNC inithashwick(void) { Py_InitModule3("hashwick", hashwick_functions, module_doc); }
#endif

#endif
