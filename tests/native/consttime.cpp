// Runs every routine that handles password material with that material
// marked secret (undefined, to valgrind's memcheck): memcheck then reports
// each branch and each memory address computed from it. Built with
// -DHASHWICK_CONSTTIME_CHECK and run under memcheck, where any report
// fails the check. Arguments: [--avx2] and the locales to upper-case in.
#define HASHWICK_NO_PYTHON
#include <clocale>
#include <cstdio>
#include <cstdlib>

#include <valgrind/memcheck.h>

#include "hashwick.cpp"
#include "smbdes.cpp"

namespace {

template <typename T>
void secret(T *p, std::size_t n) {
    VALGRIND_MAKE_MEM_UNDEFINED(p, n * sizeof *p);
}

// Results are public once made: printed, they keep the work from being
// optimised away.
template <typename T>
void publish(const char *what, const T *p, std::size_t n) {
    VALGRIND_MAKE_MEM_DEFINED(p, n * sizeof *p);
    std::printf("%s:", what);
    for (std::size_t i = 0; i < n * sizeof *p; ++i) std::printf("%02x", reinterpret_cast<const std::uint8_t *>(p)[i]);
    std::printf("\n");
}

void hex(const char *what, const std::uint8_t digest[16]) {
    char text[32];
    render_hex(text, digest);
    publish(what, text, sizeof text);
}

using Form = void (*)(const std::uint8_t *, std::uint8_t *);

void des(const char *what, Form form) {
    std::uint8_t key[14] = {'S', 'E', 'C', 'R', 'E', 'T', 0x00, 0xFF, 0x80, 'k', 'e', 'y', '!', 0x7F}, hash[16];
    secret(key, sizeof key);
    form(key, hash);
    hex(what, hash);
}

void md4() {
    std::uint8_t message[300], digest[16];
    for (std::size_t length : {0, 1, 16, 55, 56, 63, 64, 65, 119, 120, 128, 300}) {
        for (std::size_t i = 0; i < sizeof message; ++i) message[i] = std::uint8_t(i * 7 + length);
        secret(message, sizeof message);
        mdfour(digest, message, int(length));
        hex("mdfour", digest);
    }
}

void lm_keys(const char *locale) {
    if (!std::setlocale(LC_CTYPE, locale)) {
        std::fprintf(stderr, "no locale %s\n", locale);
        std::exit(2);
    }
    const std::uint8_t password[20] = {'a',  'Z',  'i', 'I', '0', '~', 0x00, 0x7F, 0x80, 0xE0,
                                       0xFD, 0xFF, 'q', 'w', 'x', 'y', 'z',  '{',  '`',  '@'};
    for (std::size_t length : {0, 5, 14, 20}) {
        std::uint8_t copy[20], key[14], hash[16];
        std::memcpy(copy, password, sizeof copy);
        secret(copy, sizeof copy);
        lm_key(copy, length, key);
        E_P16(key, hash);
        hex("lmhash", hash);
    }
}

template <typename Unit, std::size_t N>
void text(const Unit (&units)[N]) {
    Unit copy[N];
    std::memcpy(copy, units, sizeof copy);
    secret(copy, N);
    Utf16Stream s;
    stream_start(s);
    std::uint8_t digest[16] = {}, prefix[14] = {};
    if (stream_units(s, copy, N))
        stream_finish(s, digest);
    else
        stream_abandon(s);
    hex("nthash", digest);
    std::ptrdiff_t n = utf8_prefix(copy, N, prefix);
    publish("utf8 prefix", prefix, n < 0 ? 0 : std::size_t(n));
}

void utf8(const char *bytes) {
    std::size_t n = std::strlen(bytes);
    std::uint8_t copy[64], digest[16] = {};
    std::memcpy(copy, bytes, n);
    secret(copy, n);
    Utf16Stream s;
    stream_start(s);
    if (stream_utf8(s, copy, n))
        stream_finish(s, digest);
    else
        stream_abandon(s);
    hex("nthash of bytes", digest);
}

} // namespace

int main(int argc, char **argv) {
    // "--avx2" first: the CPU has AVX2, whether or not this runtime can
    // tell (zig's never detects CPU features).
    int first = 1;
    bool avx2 = argc > 1 && std::strcmp(argv[1], "--avx2") == 0;
    first += avx2;
    des("E_P16", E_P16);
    des("portable DES", hashwick::lm_portable);
#if HASHWICK_DES_AVX2
    if (avx2 || __builtin_cpu_supports("avx2")) des("AVX2 DES", hashwick::lm_avx2);
#endif
    md4();
    for (int i = first; i < argc; ++i) lm_keys(argv[i]);

    // Each storage width of a str, with characters of every UTF-8 and
    // UTF-16 width, long enough to fill the staging chunk more than once;
    // and one with a surrogate, which fails.
    std::uint8_t latin1[300];
    std::uint16_t bmp[300];
    std::uint32_t wide[300];
    for (std::size_t i = 0; i < 300; ++i) {
        latin1[i] = std::uint8_t(i);
        bmp[i] = std::uint16_t(i % 3 ? 0x30 + i : 0x7F0 + 17 * i);
        wide[i] = std::uint32_t(i % 4 == 0 ? 0x10000 + 999 * i : i % 4 == 1 ? 0x41 : 0x800 + i);
    }
    text(latin1);
    text(bmp);
    text(wide);
    const std::uint16_t lone[] = {'a', 0xD800, 'b'};
    text(lone);
    utf8("pa\xC3\xA9ss \xE2\x82\xAC \xF0\x9F\x94\x91 w\xC3\xB6rd");
    utf8("bad \xC3\x28 byte");
    return 0;
}
