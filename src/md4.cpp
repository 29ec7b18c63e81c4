// md4.cpp - the MD4 message digest of RFC 1320.
#include "hashwick.h"
#include "primitives.hpp"

namespace hashwick {
namespace {

constexpr std::uint32_t rotl(std::uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }

constexpr std::uint32_t F(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return ((y ^ z) & x) ^ z; }
// The majority function as a sum of two parts with no bits in common, so the
// part without x, the word the previous step just made, is added early.
constexpr std::uint32_t G(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return (y & z) + (x & (y ^ z)); }
constexpr std::uint32_t H(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return x ^ (y ^ z); }

constexpr std::uint32_t round2_constant = 0x5A827999;
constexpr std::uint32_t round3_constant = 0x6ED9EBA1;

inline std::uint32_t load_le32(const std::uint8_t *p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

inline void store_le32(std::uint8_t *p, std::uint32_t v) {
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
    p[2] = std::uint8_t(v >> 16);
    p[3] = std::uint8_t(v >> 24);
}

// Makes the compiler read the message words from their one copy, which is
// wiped, instead of keeping them in registers from round to round: with too
// few registers for them it would spill copies that no wipe reaches.
inline void reread(const std::uint32_t X[16]) {
#if HASHWICK_GNU
    __asm__ __volatile__("" : : "r"(X) : "memory");
#else
    (void)X;
#endif
}

// The compression function over one block already read into words.
inline void mdfour64(std::uint32_t abcd[4], const std::uint32_t X[16]) {
    std::uint32_t A = abcd[0], B = abcd[1], C = abcd[2], D = abcd[3];

    for (int i = 0; i < 16; i += 4) {
        A = rotl(A + F(B, C, D) + X[i], 3);
        D = rotl(D + F(A, B, C) + X[i + 1], 7);
        C = rotl(C + F(D, A, B) + X[i + 2], 11);
        B = rotl(B + F(C, D, A) + X[i + 3], 19);
    }
    reread(X);
    for (int i = 0; i < 4; ++i) {
        A = rotl(A + G(B, C, D) + X[i] + round2_constant, 3);
        D = rotl(D + G(A, B, C) + X[i + 4] + round2_constant, 5);
        C = rotl(C + G(D, A, B) + X[i + 8] + round2_constant, 9);
        B = rotl(B + G(C, D, A) + X[i + 12] + round2_constant, 13);
    }
    reread(X);
    constexpr int round3_order[4] = {0, 2, 1, 3};
    for (int i : round3_order) {
        A = rotl(A + H(B, C, D) + X[i] + round3_constant, 3);
        D = rotl(D + H(A, B, C) + X[i + 8] + round3_constant, 9);
        C = rotl(C + H(D, A, B) + X[i + 4] + round3_constant, 11);
        B = rotl(B + H(C, D, A) + X[i + 12] + round3_constant, 15);
    }

    abcd[0] += A;
    abcd[1] += B;
    abcd[2] += C;
    abcd[3] += D;
}

} // namespace

void md4_start(std::uint32_t abcd[4]) {
    abcd[0] = 0x67452301;
    abcd[1] = 0xEFCDAB89;
    abcd[2] = 0x98BADCFE;
    abcd[3] = 0x10325476;
}

void md4_blocks(std::uint32_t abcd[4], const std::uint8_t *blocks, std::size_t count) {
    if (!count) return;
    std::uint32_t words[16];
    for (; count; --count, blocks += md4_block_size) {
        for (int j = 0; j < 16; ++j) words[j] = load_le32(blocks + 4 * j);
        mdfour64(abcd, words);
    }
    wipe(words);
}

void md4_finish(std::uint32_t abcd[4], const std::uint8_t *last, std::size_t n, std::uint64_t total,
                std::uint8_t digest[digest_size]) {
    md4_blocks(abcd, last, n / md4_block_size);
    last += n / md4_block_size * md4_block_size;
    n %= md4_block_size;

    // The rest, 0x80, zeros and the length field: one block, or two when
    // fewer than 9 bytes are left in the first. Built in place as words, so
    // the short messages passwords make cost no second copy.
    std::uint32_t words[32];
    std::uint8_t *tail = reinterpret_cast<std::uint8_t *>(words);
    std::size_t padded = n < md4_block_size - 8 ? md4_block_size : 2 * md4_block_size;
    // Zeroing a size known at compile time is a few vector stores.
    if (padded == md4_block_size)
        std::memset(tail, 0, md4_block_size);
    else
        std::memset(tail, 0, 2 * md4_block_size);
    if (n) std::memcpy(tail, last, n); // last may be null when n is 0
    tail[n] = 0x80;
    // RFC 1320's length field: the bit count modulo 2^64, low word first.
    std::uint64_t bits = total * 8;
    store_le32(tail + padded - 8, std::uint32_t(bits));
    store_le32(tail + padded - 4, std::uint32_t(bits >> 32));
#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
    for (std::size_t j = 0; j < padded / 4; ++j) words[j] = load_le32(tail + 4 * j);
#endif
    mdfour64(abcd, words);
    if (padded == md4_block_size) {
        wipe(words, md4_block_size);
    } else {
        mdfour64(abcd, words + 16);
        wipe(words);
    }

    for (int i = 0; i < 4; ++i) store_le32(digest + 4 * i, abcd[i]);
    wipe(abcd, 4 * sizeof abcd[0]);
}

void md4(std::uint8_t digest[digest_size], const std::uint8_t *message, std::size_t length) {
    std::uint32_t abcd[4];
    md4_start(abcd);
    md4_finish(abcd, message, length, length, digest);
}

} // namespace hashwick

extern "C" void mdfour(unsigned char digest[16], const unsigned char *message, int length) {
    hashwick::md4(digest, message, length > 0 ? std::size_t(length) : 0);
}
