// smbdes.cpp - DES encryption (FIPS 46-3) keyed by 7 bytes, and the LAN
// Manager one-way function built on it.
//
// The standard's tables are written out below as it prints them. The code
// runs on faster forms derived from them at compile time: byte-indexed
// tables for PC-1 (with the 7-to-8-byte key spreading folded in), PC-2 and
// IP^-1, and S-boxes merged with P. Blocks are 32-bit halves whose bit 1 is
// the most significant, rotated right by one so that each S-box's six input
// bits sit side by side.
#include <array>

#include "hashwick.h"
#include "primitives.hpp"

namespace hashwick {
namespace {

// ---- FIPS 46-3 tables: 1-based bit positions, bit 1 the most significant.

// clang-format off: the tables keep the standard's rows.
constexpr std::uint8_t perm1[56] = { // PC-1
    57, 49, 41, 33, 25, 17, 9,  1, 58, 50, 42, 34, 26, 18, 10, 2, 59, 51, 43, 35, 27, 19, 11, 3, 60, 52, 44, 36,
    63, 55, 47, 39, 31, 23, 15, 7, 62, 54, 46, 38, 30, 22, 14, 6, 61, 53, 45, 37, 29, 21, 13, 5, 28, 20, 12, 4};

constexpr std::uint8_t sc[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1}; // left shifts per round

constexpr std::uint8_t perm2[48] = { // PC-2
    14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,
    41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

constexpr std::uint8_t perm3[64] = { // IP
    58, 50, 42, 34, 26, 18, 10, 2,  60, 52, 44, 36, 28, 20, 12, 4,  62, 54, 46, 38, 30, 22,
    14, 6,  64, 56, 48, 40, 32, 24, 16, 8,  57, 49, 41, 33, 25, 17, 9,  1,  59, 51, 43, 35,
    27, 19, 11, 3,  61, 53, 45, 37, 29, 21, 13, 5,  63, 55, 47, 39, 31, 23, 15, 7};

constexpr std::uint8_t perm4[48] = { // E
    32, 1,  2,  3,  4,  5,  4,  5,  6,  7,  8,  9,  8,  9,  10, 11, 12, 13, 12, 13, 14, 15, 16, 17,
    16, 17, 18, 19, 20, 21, 20, 21, 22, 23, 24, 25, 24, 25, 26, 27, 28, 29, 28, 29, 30, 31, 32, 1};

constexpr std::uint8_t perm5[32] = { // P
    16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
    2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};

constexpr std::uint8_t perm6[64] = { // IP^-1
    40, 8,  48, 16, 56, 24, 64, 32, 39, 7,  47, 15, 55, 23, 63, 31, 38, 6,  46, 14, 54, 22,
    62, 30, 37, 5,  45, 13, 53, 21, 61, 29, 36, 4,  44, 12, 52, 20, 60, 28, 35, 3,  43, 11,
    51, 19, 59, 27, 34, 2,  42, 10, 50, 18, 58, 26, 33, 1,  41, 9,  49, 17, 57, 25};

constexpr std::uint8_t sbox[8][4][16] = {{{14, 4, 13, 1, 2, 15, 11, 8, 3, 10, 6, 12, 5, 9, 0, 7},
                                          {0, 15, 7, 4, 14, 2, 13, 1, 10, 6, 12, 11, 9, 5, 3, 8},
                                          {4, 1, 14, 8, 13, 6, 2, 11, 15, 12, 9, 7, 3, 10, 5, 0},
                                          {15, 12, 8, 2, 4, 9, 1, 7, 5, 11, 3, 14, 10, 0, 6, 13}},
                                         {{15, 1, 8, 14, 6, 11, 3, 4, 9, 7, 2, 13, 12, 0, 5, 10},
                                          {3, 13, 4, 7, 15, 2, 8, 14, 12, 0, 1, 10, 6, 9, 11, 5},
                                          {0, 14, 7, 11, 10, 4, 13, 1, 5, 8, 12, 6, 9, 3, 2, 15},
                                          {13, 8, 10, 1, 3, 15, 4, 2, 11, 6, 7, 12, 0, 5, 14, 9}},
                                         {{10, 0, 9, 14, 6, 3, 15, 5, 1, 13, 12, 7, 11, 4, 2, 8},
                                          {13, 7, 0, 9, 3, 4, 6, 10, 2, 8, 5, 14, 12, 11, 15, 1},
                                          {13, 6, 4, 9, 8, 15, 3, 0, 11, 1, 2, 12, 5, 10, 14, 7},
                                          {1, 10, 13, 0, 6, 9, 8, 7, 4, 15, 14, 3, 11, 5, 2, 12}},
                                         {{7, 13, 14, 3, 0, 6, 9, 10, 1, 2, 8, 5, 11, 12, 4, 15},
                                          {13, 8, 11, 5, 6, 15, 0, 3, 4, 7, 2, 12, 1, 10, 14, 9},
                                          {10, 6, 9, 0, 12, 11, 7, 13, 15, 1, 3, 14, 5, 2, 8, 4},
                                          {3, 15, 0, 6, 10, 1, 13, 8, 9, 4, 5, 11, 12, 7, 2, 14}},
                                         {{2, 12, 4, 1, 7, 10, 11, 6, 8, 5, 3, 15, 13, 0, 14, 9},
                                          {14, 11, 2, 12, 4, 7, 13, 1, 5, 0, 15, 10, 3, 9, 8, 6},
                                          {4, 2, 1, 11, 10, 13, 7, 8, 15, 9, 12, 5, 6, 3, 0, 14},
                                          {11, 8, 12, 7, 1, 14, 2, 13, 6, 15, 0, 9, 10, 4, 5, 3}},
                                         {{12, 1, 10, 15, 9, 2, 6, 8, 0, 13, 3, 4, 14, 7, 5, 11},
                                          {10, 15, 4, 2, 7, 12, 9, 5, 6, 1, 13, 14, 0, 11, 3, 8},
                                          {9, 14, 15, 5, 2, 8, 12, 3, 7, 0, 4, 10, 1, 13, 11, 6},
                                          {4, 3, 2, 12, 9, 5, 15, 10, 11, 14, 1, 7, 6, 0, 8, 13}},
                                         {{4, 11, 2, 14, 15, 0, 8, 13, 3, 12, 9, 7, 5, 10, 6, 1},
                                          {13, 0, 11, 7, 4, 9, 1, 10, 14, 3, 5, 12, 2, 15, 8, 6},
                                          {1, 4, 11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5, 9, 2},
                                          {6, 11, 13, 8, 1, 4, 10, 7, 9, 5, 0, 15, 14, 2, 3, 12}},
                                         {{13, 2, 8, 4, 6, 15, 11, 1, 10, 9, 3, 14, 5, 0, 12, 7},
                                          {1, 15, 13, 8, 10, 3, 7, 4, 12, 5, 6, 11, 0, 14, 9, 2},
                                          {7, 11, 4, 1, 9, 12, 14, 2, 0, 6, 10, 13, 15, 3, 5, 8},
                                          {2, 1, 14, 7, 4, 10, 8, 13, 15, 12, 9, 0, 3, 5, 6, 11}}};

// clang-format on

// The LM one-way function's plaintext, "KGS!@#$%", read big-endian.
constexpr std::uint64_t lm_constant = 0x4B47532140232425;

// ---- Compile-time derivation of the working forms.

// An n-bit value whose bit k is bit table[k-1] of the m-bit input.
constexpr std::uint64_t permute(std::uint64_t in, int m, const std::uint8_t *table, int n) {
    std::uint64_t out = 0;
    for (int k = 0; k < n; ++k) out |= ((in >> (m - table[k])) & 1) << (n - 1 - k);
    return out;
}

constexpr std::uint32_t rotr32(std::uint32_t x, int s) { return (x >> s) | (x << (32 - s)); }
constexpr std::uint32_t rotl32(std::uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }

// Step 1 of the key: the 56 key bits, bit 0 the top bit of the first key
// byte, spread over the top seven bits of 8 bytes. Worked on one 64-bit
// word: shifts of bytes promoted to int are what a constant evaluator may
// refuse.
constexpr std::uint64_t spread_key(std::uint64_t key56) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= ((key56 >> (49 - 7 * i)) & 0x7F) << (57 - 8 * i);
    return v;
}

// A 48-bit subkey laid out as two words that line up with the rotated
// right half: S-boxes 1,3,5,7 in the low word, 2,4,6,8 in the high one.
constexpr int odd_shift[4] = {26, 18, 10, 2};
constexpr int even_shift[4] = {18, 10, 2, 26};

constexpr std::uint64_t round_key_layout(std::uint64_t k48) {
    std::uint32_t odd = 0, even = 0;
    for (int j = 0; j < 8; ++j) {
        std::uint32_t group = std::uint32_t(k48 >> (42 - 6 * j)) & 63;
        if (j % 2 == 0)
            odd |= group << odd_shift[j / 2];
        else
            even |= group << even_shift[j / 2];
    }
    return std::uint64_t(even) << 32 | odd;
}

// S-box j with P applied to its output, in the rotated half's layout.
constexpr auto make_sp_table() {
    std::array<std::array<std::uint32_t, 64>, 8> t{};
    for (int j = 0; j < 8; ++j)
        for (int v = 0; v < 64; ++v) {
            int row = ((v >> 4) & 2) | (v & 1), column = (v >> 1) & 15;
            std::uint32_t s = std::uint32_t(sbox[j][row][column]) << (28 - 4 * j);
            t[j][v] = rotr32(std::uint32_t(permute(s, 32, perm5, 32)), 1);
        }
    return t;
}
constexpr auto sp_table = make_sp_table();

// IP^-1 by 4-bit pieces of its input (small enough to stay in L1 beside
// the key schedule table).
constexpr auto make_fp_table() {
    std::array<std::array<std::uint64_t, 16>, 16> t{};
    for (int i = 0; i < 16; ++i)
        for (int v = 0; v < 16; ++v) t[i][v] = permute(std::uint64_t(v) << (60 - 4 * i), 64, perm6, 64);
    return t;
}
alignas(64) constexpr auto fp_table = make_fp_table();

constexpr std::uint64_t mask28 = (std::uint64_t(1) << 28) - 1;
constexpr std::uint64_t rotl28(std::uint64_t x, int s) { return ((x << s) | (x >> (28 - s))) & mask28; }

// Every subkey bit is some key bit, so the whole schedule is the OR of what
// each key bit contributes. Per key bit (bit 0 the top bit of the first
// key byte): its 16 round keys, through spreading, PC-1, the accumulated
// rotations of C and D by sc, and PC-2.
constexpr auto make_bit_schedule() {
    std::array<std::array<std::uint64_t, 16>, 56> t{};
    for (int bit = 0; bit < 56; ++bit) {
        std::uint64_t cd = permute(spread_key(std::uint64_t(1) << (55 - bit)), 64, perm1, 56), c = cd >> 28,
                      d = cd & mask28;
        for (int round = 0, shift = 0; round < 16; ++round) {
            shift += sc[round];
            std::uint64_t rotated = rotl28(c, shift) << 28 | rotl28(d, shift);
            t[bit][round] = round_key_layout(permute(rotated, 56, perm2, 48));
        }
    }
    return t;
}

// The same by 4-bit pieces of the key: [piece][value][round].
constexpr auto make_schedule_table() {
    constexpr auto by_bit = make_bit_schedule();
    std::array<std::array<std::array<std::uint64_t, 16>, 16>, 14> t{};
    for (int piece = 0; piece < 14; ++piece)
        for (int v = 0; v < 16; ++v)
            for (int b = 0; b < 4; ++b)
                if (v & (8 >> b))
                    for (int round = 0; round < 16; ++round) t[piece][v][round] |= by_bit[4 * piece + b][round];
    return t;
}
alignas(64) constexpr auto schedule_table = make_schedule_table();

// The E expansion is implicit in the layout; check it agrees with the table.
constexpr bool layout_matches_expansion() {
    constexpr std::uint64_t used = round_key_layout(0xFFFFFFFFFFFF);
    for (int bit = 0; bit < 32; ++bit) {
        std::uint32_t r = std::uint32_t(1) << (31 - bit);
        std::uint64_t expanded = permute(r, 32, perm4, 48);
        std::uint32_t w = rotr32(r, 1);
        if (round_key_layout(expanded) != ((std::uint64_t(rotr32(w, 4)) << 32 | w) & used)) return false;
    }
    return true;
}
static_assert(layout_matches_expansion(), "round key layout must follow E");

// The round function: E is implicit in the layout, S and P are in sp_table.
inline std::uint32_t f(std::uint32_t r, std::uint64_t k) {
    std::uint32_t odd = r ^ std::uint32_t(k), even = rotr32(r, 4) ^ std::uint32_t(k >> 32);
    return sp_table[0][(odd >> 26) & 63] ^ sp_table[2][(odd >> 18) & 63] ^ sp_table[4][(odd >> 10) & 63] ^
           sp_table[6][(odd >> 2) & 63] ^ sp_table[1][(even >> 18) & 63] ^ sp_table[3][(even >> 10) & 63] ^
           sp_table[5][(even >> 2) & 63] ^ sp_table[7][(even >> 26) & 63];
}

// Encrypts the fixed block `Plain` under N 7-byte keys, out + 8n for key n.
// The N encryptions run interleaved so that their rounds overlap.
template <std::uint64_t Plain, int N>
void smbhash(std::uint8_t *out, const std::uint8_t *const (&key7)[N]) {
    constexpr std::uint64_t ip = permute(Plain, 64, perm3, 64);
    std::uint64_t schedule[N][16];
    for (int n = 0; n < N; ++n) {
        // Read the key first: stores to the schedule could alias bytes read
        // through it, and would force the compiler to keep reloading.
        std::uint64_t key = 0;
        for (int i = 0; i < 7; ++i) key = key << 8 | key7[n][i];
        for (int round = 0; round < 16; ++round) schedule[n][round] = schedule_table[0][key >> 52][round];
        for (int piece = 1; piece < 14; ++piece) {
            const auto &keys = schedule_table[piece][(key >> (52 - 4 * piece)) & 15];
            for (int round = 0; round < 16; ++round) schedule[n][round] |= keys[round];
        }
        wipe(key);
    }

    std::uint32_t l[N], r[N];
    for (int n = 0; n < N; ++n) {
        l[n] = rotr32(std::uint32_t(ip >> 32), 1);
        r[n] = rotr32(std::uint32_t(ip), 1);
    }
    for (int round = 0; round < 16; ++round)
        for (int n = 0; n < N; ++n) {
            std::uint32_t next = l[n] ^ f(r[n], schedule[n][round]);
            l[n] = r[n];
            r[n] = next;
        }
    for (int n = 0; n < N; ++n) {
        // The last round's exchange is undone: R16 comes first.
        std::uint64_t pre = std::uint64_t(rotl32(r[n], 1)) << 32 | rotl32(l[n], 1), block = 0;
        for (int i = 0; i < 16; ++i) block |= fp_table[i][(pre >> (60 - 4 * i)) & 15];
        for (int i = 0; i < 8; ++i) out[8 * n + i] = std::uint8_t(block >> (56 - 8 * i));
    }
    wipe(schedule);
    wipe(l);
    wipe(r);
}

} // namespace
} // namespace hashwick

extern "C" void E_P16(const unsigned char key14[14], unsigned char hash16[16]) {
    const std::uint8_t *const keys[2] = {key14, key14 + 7};
    hashwick::smbhash<hashwick::lm_constant>(hash16, keys);
}
