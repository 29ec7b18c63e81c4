// md4.cpp - the MD4 message digest of RFC 1320.
#include "hashwick.h"
#include "primitives.hpp"

namespace hashwick {
namespace {

constexpr std::uint32_t rotl(std::uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }

constexpr std::uint32_t F(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return (x & y) | (~x & z); }
constexpr std::uint32_t G(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return (x & y) | (x & z) | (y & z); }
constexpr std::uint32_t H(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return x ^ y ^ z; }

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

// The compression function over one block already read into X.
inline void mdfour64(std::uint32_t abcd[4], const std::uint32_t X[16]) {
    std::uint32_t A = abcd[0], B = abcd[1], C = abcd[2], D = abcd[3];

    for (int i = 0; i < 16; i += 4) {
        A = rotl(A + F(B, C, D) + X[i], 3);
        D = rotl(D + F(A, B, C) + X[i + 1], 7);
        C = rotl(C + F(D, A, B) + X[i + 2], 11);
        B = rotl(B + F(C, D, A) + X[i + 3], 19);
    }
    for (int i = 0; i < 4; ++i) {
        A = rotl(A + G(B, C, D) + X[i] + round2_constant, 3);
        D = rotl(D + G(A, B, C) + X[i + 4] + round2_constant, 5);
        C = rotl(C + G(D, A, B) + X[i + 8] + round2_constant, 9);
        B = rotl(B + G(C, D, A) + X[i + 12] + round2_constant, 13);
    }
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

void md4_blocks(std::uint32_t abcd[4], const std::uint8_t *p, std::size_t nblocks) {
    std::uint32_t X[16];
    for (; nblocks; --nblocks, p += md4_block_size) {
        for (int j = 0; j < 16; ++j) X[j] = load_le32(p + 4 * j);
        mdfour64(abcd, X);
    }
    wipe(X);
}

} // namespace

void md4_start(Md4 &state) {
    state.abcd[0] = 0x67452301;
    state.abcd[1] = 0xEFCDAB89;
    state.abcd[2] = 0x98BADCFE;
    state.abcd[3] = 0x10325476;
    state.length = 0;
}

void md4_update(Md4 &state, const std::uint8_t *data, std::size_t n) {
    if (n == 0) return;
    std::size_t used = std::size_t(state.length % md4_block_size);
    state.length += n;
    if (used) {
        std::size_t take = md4_block_size - used;
        if (n < take) {
            std::memcpy(state.pending + used, data, n);
            return;
        }
        std::memcpy(state.pending + used, data, take);
        md4_blocks(state.abcd, state.pending, 1);
        data += take;
        n -= take;
    }
    if (n >= md4_block_size) md4_blocks(state.abcd, data, n / md4_block_size);
    std::memcpy(state.pending, data + n / md4_block_size * md4_block_size, n % md4_block_size);
}

void md4_finish(Md4 &state, std::uint8_t digest[digest_size]) {
    std::size_t used = std::size_t(state.length % md4_block_size);
    state.pending[used++] = 0x80;
    if (used > md4_block_size - 8) {
        std::memset(state.pending + used, 0, md4_block_size - used);
        md4_blocks(state.abcd, state.pending, 1);
        used = 0;
    }
    std::memset(state.pending + used, 0, md4_block_size - 8 - used);
    // RFC 1320's length field: the bit count modulo 2^64, low word first.
    std::uint64_t bits = state.length * 8;
    store_le32(state.pending + 56, std::uint32_t(bits));
    store_le32(state.pending + 60, std::uint32_t(bits >> 32));
    md4_blocks(state.abcd, state.pending, 1);

    for (int i = 0; i < 4; ++i) store_le32(digest + 4 * i, state.abcd[i]);
    wipe(state);
}

void md4(std::uint8_t digest[digest_size], const std::uint8_t *message, std::size_t length) {
    Md4 state;
    md4_start(state);
    md4_update(state, message, length);
    md4_finish(state, digest);
}

} // namespace hashwick

extern "C" void mdfour(unsigned char digest[16], const unsigned char *message, int length) {
    hashwick::md4(digest, message, length > 0 ? std::size_t(length) : 0);
}
