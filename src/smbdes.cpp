// smbdes.cpp - DES encryption (FIPS 46-3) keyed by 7 bytes, and the LAN
// Manager one-way function built on it, in constant time: no bit of a key,
// of the data or of an intermediate value chooses a memory address or a
// branch.
//
// The standard's tables are written out below as it prints them; every form
// the code runs on is derived from them at compile time. Halves of a block
// are 32-bit words, bit 1 the most significant, rotated right by one so
// that each S-box's six input bits sit side by side. Two forms of the
// rounds and the key schedule exist:
// - portable: S-boxes as 64-bit truth tables read out by rotations; the key
//   schedule as the masked OR of what each key bit contributes;
// - AVX2 (x86-64, chosen per call by the CPU's features): S-boxes looked up
//   by byte shuffles inside registers, 32 lookups per instruction; the key
//   schedule gathered bit by bit with shuffles and byte masks.
#include <array>
#include <utility>

#include "hashwick.h"
#include "primitives.hpp"

#if HASHWICK_DES_AVX2
#include <immintrin.h>
#endif

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

constexpr int lowest_bit(std::uint64_t x) {
    int bit = 0;
    while (!((x >> bit) & 1)) ++bit;
    return bit;
}

// Step 1 of the key: the 56 key bits, bit 0 the top bit of the first key
// byte, spread over the top seven bits of 8 bytes. Worked on one 64-bit
// word: shifts of bytes promoted to int are what a constant evaluator may
// refuse.
constexpr std::uint64_t spread_key(std::uint64_t key56) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= ((key56 >> (49 - 7 * i)) & 0x7F) << (57 - 8 * i);
    return v;
}

// A round's S-box inputs as one word, a byte per S-box, six bits each with
// the first E bit highest. The rotated half and its rotation by four more
// hold every six-bit group of E side by side, eight bits apart.
constexpr std::uint64_t window_mask = 0x3F3F3F3F3F3F3F3F;

constexpr std::uint64_t windows(std::uint32_t r) {
    return ((std::uint64_t(rotr32(r, 4)) << 32 | r) >> 2) & window_mask;
}

// A 48-bit value in E's bit order (a subkey) put where windows() puts E.
constexpr int group_shift[8] = {26, 50, 18, 42, 10, 34, 2, 58};

constexpr std::uint64_t key_windows(std::uint64_t k48) {
    std::uint64_t w = 0;
    for (int j = 0; j < 8; ++j) w |= ((k48 >> (42 - 6 * j)) & 63) << group_shift[j];
    return (w >> 2) & window_mask;
}

// E is implicit in windows(); check that it agrees with the table.
constexpr bool windows_follow_expansion() {
    for (int bit = 0; bit < 32; ++bit) {
        std::uint32_t r = std::uint32_t(1) << (31 - bit);
        if (windows(rotr32(r, 1)) != key_windows(permute(r, 32, perm4, 48))) return false;
    }
    return true;
}
static_assert(windows_follow_expansion(), "window layout must follow E");

// The S-box fed by each byte of the window word.
constexpr auto make_window_sbox() {
    std::array<int, 8> t{};
    for (int j = 0; j < 8; ++j) t[unsigned(lowest_bit(key_windows(std::uint64_t(63) << (42 - 6 * j)))) / 8] = j;
    return t;
}
constexpr auto window_sbox = make_window_sbox();

constexpr int sbox_value(int j, int w) { return sbox[j][((w >> 4) & 2) | (w & 1)][(w >> 1) & 15]; }

// Where output bit o (0 the most significant) of S-box j lands in the
// rotated half once P has moved it, and the other way round.
struct SboxBit {
    int sbox, bit;
};

constexpr auto make_p_destinations() {
    std::array<std::array<int, 4>, 8> t{};
    for (int j = 0; j < 8; ++j)
        for (int o = 0; o < 4; ++o)
            t[j][o] =
                lowest_bit(rotr32(std::uint32_t(permute(std::uint64_t(1) << (31 - 4 * j - o), 32, perm5, 32)), 1));
    return t;
}
constexpr auto p_destinations = make_p_destinations();

constexpr std::uint64_t mask28 = (std::uint64_t(1) << 28) - 1;
constexpr std::uint64_t rotl28(std::uint64_t x, int s) { return ((x << s) | (x >> (28 - s))) & mask28; }

// Tables are made in pieces, each piece a constant evaluation of its own (a
// static member of a class template per piece, gathered by index), so that
// none nears the step limit compilers put on one evaluation: MSVC's is
// 100,000 by its own count.
template <typename Row, std::size_t N, template <int> class Piece, std::size_t... I>
constexpr std::array<Row, N> gather(std::index_sequence<I...>) {
    return {{Piece<int(I)>::value...}};
}

// Every subkey bit is some key bit, so the whole schedule is the OR of what
// each key bit contributes. Per key bit (bit 0 the top bit of the first
// key byte): its 16 round keys, through spreading, PC-1, the accumulated
// rotations of C and D by sc, and PC-2, in window layout.
constexpr auto make_bit_schedule_row(int bit) {
    std::array<std::uint64_t, 16> t{};
    std::uint64_t cd = permute(spread_key(std::uint64_t(1) << (55 - bit)), 64, perm1, 56);
    std::uint64_t c = cd >> 28, d = cd & mask28;
    for (int round = 0, shift = 0; round < 16; ++round) {
        shift += sc[round];
        std::uint64_t rotated = rotl28(c, shift) << 28 | rotl28(d, shift);
        t[round] = key_windows(permute(rotated, 56, perm2, 48));
    }
    return t;
}
template <int Bit>
struct BitScheduleRow {
    static constexpr auto value = make_bit_schedule_row(Bit);
};
constexpr auto bit_schedule = gather<std::array<std::uint64_t, 16>, 56, BitScheduleRow>(std::make_index_sequence<56>());

constexpr std::uint64_t delta_swap(std::uint64_t x, int s, std::uint64_t m) {
    std::uint64_t t = ((x >> s) ^ x) & m;
    return x ^ t ^ (t << s);
}

// IP^-1 of R16 L16 (the last round's exchange undone), from the rotated
// halves, as the output block's bytes read little-endian: IP^-1 interleaves
// the bytes of the halves and then transposes the 8x8 bit matrix they make.
constexpr std::uint64_t final_permutation(std::uint32_t l, std::uint32_t r) {
    std::uint64_t x = std::uint64_t(rotl32(l, 1)) << 32 | rotl32(r, 1);
    x = delta_swap(x, 16, 0x00000000FFFF0000);
    x = delta_swap(x, 8, 0x0000FF000000FF00);
    x = delta_swap(x, 7, 0x00AA00AA00AA00AA);
    x = delta_swap(x, 14, 0x0000CCCC0000CCCC);
    return delta_swap(x, 28, 0x00000000F0F0F0F0);
}

constexpr std::uint64_t byte_swap(std::uint64_t x) {
    std::uint64_t y = 0;
    for (int i = 0; i < 8; ++i) y |= ((x >> 8 * i) & 0xFF) << (56 - 8 * i);
    return y;
}

constexpr bool final_permutation_is_ip_inverse() {
    for (int bit = 0; bit < 64; ++bit) {
        std::uint64_t pre = std::uint64_t(1) << bit;
        std::uint32_t l = rotr32(std::uint32_t(pre), 1), r = rotr32(std::uint32_t(pre >> 32), 1);
        if (byte_swap(final_permutation(l, r)) != permute(pre, 64, perm6, 64)) return false;
    }
    return true;
}
static_assert(final_permutation_is_ip_inverse(), "final permutation must be IP^-1");

// The halves after IP of the fixed plaintext: public, so computed here.
template <std::uint64_t Plain>
constexpr std::uint32_t initial_left = rotr32(std::uint32_t(permute(Plain, 64, perm3, 64) >> 32), 1);
template <std::uint64_t Plain>
constexpr std::uint32_t initial_right = rotr32(std::uint32_t(permute(Plain, 64, perm3, 64)), 1);

inline void store_le64(std::uint8_t *out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out[i] = std::uint8_t(v >> 8 * i);
}

// ---- Portable form.

// Output bit o of the S-box fed by window byte b: its 64-bit truth table
// over the window's six bits, rotated so that rotating it right by the
// window brings the wanted bit to where P sends it.
struct TruthTable {
    std::uint64_t table;
    std::uint32_t destination; // a single bit
};

constexpr std::uint64_t rotl64(std::uint64_t x, unsigned s) { return (x << (s & 63)) | (x >> ((64 - s) & 63)); }

constexpr auto make_truth_tables() {
    std::array<std::array<TruthTable, 4>, 8> t{};
    for (int b = 0; b < 8; ++b)
        for (int o = 0; o < 4; ++o) {
            int j = window_sbox[b], d = p_destinations[j][o];
            std::uint64_t table = 0;
            for (int w = 0; w < 64; ++w) table |= std::uint64_t((sbox_value(j, w) >> (3 - o)) & 1) << w;
            t[b][o] = {rotl64(table, unsigned(d)), std::uint32_t(1) << d};
        }
    return t;
}
constexpr auto truth_tables = make_truth_tables();

// S and P of one round, on the key-mixed windows. Each S-box's bits are
// gathered on their own, so that the ORs form a tree, not a chain (opaque:
// g++ would regroup them into one). The tables are read from memory: as
// immediates, each would take an ALU instruction to load, and the ALUs are
// what the rounds wait on.
inline std::uint32_t sp_portable(std::uint64_t x) {
    const auto *tables = opaque(truth_tables.data());
    std::uint32_t part[8];
    for (int b = 0; b < 8; ++b) {
        unsigned w = unsigned(x >> 8 * b) & 63;
        std::uint32_t bits = 0;
        for (const TruthTable &t : tables[b])
            bits |= std::uint32_t((t.table >> w) | (t.table << ((64 - w) & 63))) & t.destination;
        part[b] = opaque(bits);
    }
    return ((part[0] | part[1]) | (part[2] | part[3])) | ((part[4] | part[5]) | (part[6] | part[7]));
}

void schedule_portable(std::uint64_t key, std::uint64_t schedule[16]) {
    for (int round = 0; round < 16; ++round) schedule[round] = 0;
    for (int bit = 0; bit < 56; ++bit) {
        std::uint64_t mask = opaque(0 - ((key >> (55 - bit)) & 1));
        for (int round = 0; round < 16; ++round) schedule[round] |= bit_schedule[bit][round] & mask;
    }
}

// Encrypts Plain under two 56-bit keys into out[0..8) and out[8..16); the
// two encryptions run interleaved so that their rounds overlap.
// The halves as four named words: held in arrays, g++ moves them through
// vector registers and the stack, and each round waits on a store.
inline void rounds_portable(const std::uint64_t schedule[2][16], std::uint32_t l[2], std::uint32_t r[2]) {
    std::uint32_t l0 = l[0], l1 = l[1], r0 = r[0], r1 = r[1];
    for (int round = 0; round < 16; ++round) {
        std::uint32_t next0 = l0 ^ sp_portable(windows(r0) ^ schedule[0][round]);
        std::uint32_t next1 = l1 ^ sp_portable(windows(r1) ^ schedule[1][round]);
        l0 = r0, r0 = next0;
        l1 = r1, r1 = next1;
    }
    l[0] = l0, l[1] = l1, r[0] = r0, r[1] = r1;
}

template <std::uint64_t Plain>
HASHWICK_NOINLINE void smbhash_portable(std::uint8_t out[16], const std::uint64_t key[2]) {
    std::uint64_t schedule[2][16];
    schedule_portable(key[0], schedule[0]);
    schedule_portable(key[1], schedule[1]);
    std::uint32_t l[2] = {initial_left<Plain>, initial_left<Plain>};
    std::uint32_t r[2] = {initial_right<Plain>, initial_right<Plain>};
    rounds_portable(schedule, l, r);
    for (int n = 0; n < 2; ++n) store_le64(out + 8 * n, final_permutation(l[n], r[n]));
    wipe(schedule);
    wipe(l);
    wipe(r);
}

#if HASHWICK_DES_AVX2

// ---- AVX2 form.
//
// Both blocks side by side in each 128-bit lane. vpshufb looks up 16 bytes
// by their low four bits in a 16-byte table per lane; a window's two high
// bits choose among four such tables. A byte of a table holds eight output
// bits, one for each of the eight positions of a block in the lane, and
// each position keeps its own: the eight positions of a group make one
// byte of f's output, which vpsadbw adds up. Two sets of tables over two
// lanes make the four bytes of each block's f. The halves stay in the
// vector registers as their windows: each byte of f is shifted straight to
// where the next round's windows want it, so that no round has to make
// windows from a whole half.

using Bytes32 = std::array<std::uint8_t, 32>;

// Which S-box output bit P sends to each bit of f's output.
constexpr auto make_p_sources() {
    std::array<SboxBit, 32> t{};
    for (int j = 0; j < 8; ++j)
        for (int o = 0; o < 4; ++o) t[p_destinations[j][o]] = {j, o};
    return t;
}
constexpr auto p_sources = make_p_sources();

constexpr int window_of(int sbox) {
    int b = 0;
    while (window_sbox[b] != sbox) ++b;
    return b;
}

// Position k of lane l in set s makes bit k of byte 2l + s of f's output.
constexpr SboxBit position_source(int set, int lane, int k) { return p_sources[8 * (2 * lane + set) + k]; }

// Moves each block's windows to the positions that look them up.
constexpr auto make_round_index() {
    std::array<Bytes32, 2> t{};
    for (int s = 0; s < 2; ++s)
        for (int l = 0; l < 2; ++l)
            for (int n = 0; n < 2; ++n)
                for (int k = 0; k < 8; ++k)
                    t[s][16 * l + 8 * n + k] = std::uint8_t(8 * n + window_of(position_source(s, l, k).sbox));
    return t;
}

// [set][window's two high bits]: bit k of entry c is what position k
// wants, for the window with those high bits and low bits c.
constexpr auto make_round_table_set(int s) {
    std::array<Bytes32, 4> t{};
    for (int l = 0; l < 2; ++l)
        for (int k = 0; k < 8; ++k) {
            SboxBit want = position_source(s, l, k);
            for (int high = 0; high < 4; ++high)
                for (int c = 0; c < 16; ++c) {
                    int bit = (sbox_value(want.sbox, high << 4 | c) >> (3 - want.bit)) & 1;
                    t[high][16 * l + c] |= std::uint8_t(bit << k);
                }
        }
    return t;
}
template <int Set>
struct RoundTableSet {
    static constexpr auto value = make_round_table_set(Set);
};

constexpr auto make_position_bits() {
    Bytes32 t{};
    for (int i = 0; i < 32; ++i) t[i] = std::uint8_t(1 << (i % 8));
    return t;
}

// Where each byte of f goes in the windows. Byte c (set s, lane l, c = 2l
// + s) lies at bits 8c.. of the half; the low 32 bits of the windows are
// the half rotated right by 2 and the high 32 the half rotated right by 6,
// each masked. Rotating b << 8c right by rho, 32 bits wide, is b shifted
// left by 8c - rho, or for the byte that wraps (8c < rho) b shifted right
// by rho OR b shifted left by 32 - rho; a count of 32 shifts everything
// out, as vpsllvd and vpsrlvd do.
struct Placement {
    std::array<std::uint32_t, 8> left, right; // per 32-bit element
};

constexpr std::uint32_t left_count(int c, int rho) { return std::uint32_t(8 * c >= rho ? 8 * c - rho : 32 - rho); }
constexpr std::uint32_t right_count(int c, int rho) { return std::uint32_t(8 * c >= rho ? 32 : rho); }

constexpr auto make_placements() {
    std::array<Placement, 2> t{};
    for (int s = 0; s < 2; ++s)
        for (int e = 0; e < 8; ++e) { // 32-bit element e: lane e / 4, low or high half of a 64-bit lane by e % 2
            int c = 2 * (e / 4) + s, rho = e % 2 ? 6 : 2;
            t[s].left[e] = left_count(c, rho);
            t[s].right[e] = right_count(c, rho);
        }
    return t;
}

constexpr std::uint32_t shift_left32(std::uint32_t v, std::uint32_t n) { return n >= 32 ? 0 : v << n; }
constexpr std::uint32_t shift_right32(std::uint32_t v, std::uint32_t n) { return n >= 32 ? 0 : v >> n; }

// Every byte value in place c gives, masked, the windows of that byte of f
// alone.
constexpr bool placements_make_windows(int c) {
    for (std::uint32_t b = 0; b < 256; ++b) {
        std::uint64_t want = windows(b << 8 * c), got = 0;
        for (int half = 0; half < 2; ++half) {
            int rho = half ? 6 : 2;
            std::uint32_t v = shift_left32(b, left_count(c, rho)) | shift_right32(b, right_count(c, rho));
            got |= std::uint64_t(v) << 32 * half;
        }
        if ((got & window_mask) != want) return false;
    }
    return true;
}
static_assert(placements_make_windows(0), "the bytes of f must land on their windows");
static_assert(placements_make_windows(1), "the bytes of f must land on their windows");
static_assert(placements_make_windows(2), "the bytes of f must land on their windows");
static_assert(placements_make_windows(3), "the bytes of f must land on their windows");

// The half back from its windows: the low 32 bits hold bits 2-7 of each
// byte of the half (rotated right by 2), the high 32 bits 6-7 and 0-3.
constexpr std::uint32_t half_from_windows(std::uint64_t w) {
    return rotl32(std::uint32_t(w), 2) | (rotl32(std::uint32_t(w >> 32), 6) & 0x03030303);
}

constexpr bool windows_keep_the_half() {
    for (int bit = 0; bit < 32; ++bit)
        if (half_from_windows(windows(std::uint32_t(1) << bit)) != std::uint32_t(1) << bit) return false;
    return true;
}
static_assert(windows_keep_the_half(), "the windows must hold every bit of the half");

// For the key schedule: which key byte and bit supply each bit of a round
// key in window layout, 32 at a time; positions no key bit reaches get an
// index that reads zero.
struct KeyGather {
    Bytes32 index, bit;
};

constexpr auto make_key_gather_round(int round) {
    std::array<KeyGather, 2> t{};
    for (KeyGather &g : t)
        for (int q = 0; q < 32; ++q) g.index[q] = 0x80, g.bit[q] = 1;
    // Each key bit reaches at most one bit of a round key.
    for (int bit = 0; bit < 56; ++bit)
        if (std::uint64_t reached = bit_schedule[bit][round]) {
            int p = lowest_bit(reached);
            t[p / 32].index[p % 32] = std::uint8_t(bit / 8);
            t[p / 32].bit[p % 32] = std::uint8_t(0x80 >> (bit % 8));
        }
    return t;
}
template <int Round>
struct KeyGatherRound {
    static constexpr auto value = make_key_gather_round(Round);
};

// The final permutation as vpmovmskb does it. Bit t of byte b of the word
// final_permutation() starts from (rotated left halves, left above right)
// ends in the byte chosen by t alone, at the bit chosen by b alone: after
// the bytes are put in order, shifting left by k brings bit 7 - k of every
// byte to the top, and vpmovmskb gathers those eight bits into one output
// byte, for both blocks at once.
struct Transpose {
    int byte_of_bit[8]; // output byte of the bits found by shifting left by k
    int bit_of_byte[8]; // bit of that output byte taken from each input byte
};

constexpr Transpose make_transpose() {
    Transpose t{};
    for (int q = 0; q < 64; ++q) {
        std::uint64_t x = std::uint64_t(1) << q;
        int out = lowest_bit(final_permutation(rotr32(std::uint32_t(x >> 32), 1), rotr32(std::uint32_t(x), 1)));
        t.byte_of_bit[7 - q % 8] = out / 8;
        t.bit_of_byte[q / 8] = out % 8;
    }
    return t;
}
constexpr Transpose transpose = make_transpose();

constexpr bool transpose_is_final_permutation() {
    for (int q = 0; q < 64; ++q) {
        std::uint64_t x = std::uint64_t(1) << q;
        std::uint64_t out = final_permutation(rotr32(std::uint32_t(x >> 32), 1), rotr32(std::uint32_t(x), 1));
        if (out != std::uint64_t(1) << (8 * transpose.byte_of_bit[7 - q % 8] + transpose.bit_of_byte[q / 8]))
            return false;
    }
    return true;
}
static_assert(transpose_is_final_permutation(), "the final permutation must be a byte order and a transpose");

// Puts each block's input bytes in the order of the output bits they give.
constexpr auto make_transpose_order() {
    std::array<std::uint8_t, 16> t{};
    for (int n = 0; n < 2; ++n)
        for (int b = 0; b < 8; ++b) t[8 * n + transpose.bit_of_byte[b]] = std::uint8_t(8 * n + b);
    return t;
}

alignas(32) constexpr auto round_index = make_round_index();
alignas(32) constexpr auto round_tables =
    gather<std::array<Bytes32, 4>, 2, RoundTableSet>(std::make_index_sequence<2>());
alignas(32) constexpr auto position_bits = make_position_bits();
alignas(32) constexpr auto key_gather =
    gather<std::array<KeyGather, 2>, 16, KeyGatherRound>(std::make_index_sequence<16>());
alignas(16) constexpr auto transpose_order = make_transpose_order();
alignas(32) constexpr auto placements = make_placements();

#define HASHWICK_AVX2_FN __attribute__((target("avx2"))) inline

HASHWICK_AVX2_FN __m256i load(const Bytes32 &b) {
    return _mm256_load_si256(reinterpret_cast<const __m256i *>(b.data()));
}

// The value as it stands, in a vector register: g++ turns the selector of
// a vpblendvb into a mask by an extra comparison, and regroups a chain of
// XORs so that the slowest term comes first; this keeps either from
// lengthening the rounds.
HASHWICK_AVX2_FN __m256i as_is(__m256i v) {
    __asm__ __volatile__("" : "+x"(v));
    return v;
}

HASHWICK_AVX2_FN std::uint64_t round_key_avx2(__m256i key_bytes, const std::array<KeyGather, 2> &gather) {
    std::uint64_t word = 0;
    for (int half = 0; half < 2; ++half) {
        __m256i bit = load(gather[half].bit);
        __m256i picked = _mm256_and_si256(_mm256_shuffle_epi8(key_bytes, load(gather[half].index)), bit);
        // 0xFF where the key bit is set: vpmovmskb collects the top bits.
        auto bits = std::uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(picked, bit)));
        word |= std::uint64_t(bits) << 32 * half;
    }
    return word;
}

// Each key's bytes, first byte lowest, in every 8-byte lane.
HASHWICK_AVX2_FN void key_bytes_avx2(const std::uint64_t key[2], __m256i bytes[2]) {
    for (int n = 0; n < 2; ++n) bytes[n] = _mm256_set1_epi64x(static_cast<long long>(__builtin_bswap64(key[n] << 8)));
}

// The two keys' round keys for one round, side by side in both lanes.
// Made in the round before the one that uses them: the rounds leave most
// of the vector units idle while they wait on each other, and this work
// fills them.
HASHWICK_AVX2_FN __m256i round_keys_avx2(const __m256i bytes[2], int round) {
    __m128i pair = _mm_cvtsi64_si128(static_cast<long long>(round_key_avx2(bytes[0], key_gather[round])));
    pair = _mm_insert_epi64(pair, static_cast<long long>(round_key_avx2(bytes[1], key_gather[round])), 1);
    return _mm256_broadcastsi128_si256(pair);
}

HASHWICK_AVX2_FN __m256i load(const std::array<std::uint32_t, 8> &a) {
    return _mm256_load_si256(reinterpret_cast<const __m256i *>(a.data()));
}

// The windows of f of both blocks from their key-mixed windows x, each lane
// holding those of the half of each f that its lookups made: the windows of
// a block's f are the XOR of its two lanes.
HASHWICK_AVX2_FN __m256i f_windows_avx2(__m256i x) {
    __m256i bits = load(position_bits), sum = _mm256_setzero_si256();
    for (int s = 0; s < 2; ++s) {
        __m256i index = _mm256_shuffle_epi8(x, load(round_index[s]));
        // vpblendvb chooses by a byte's top bit: the window's two high bits
        // are shifted there. Bits from the next byte land below it, where
        // they choose nothing.
        __m256i by_first = _mm256_slli_epi16(index, 2), by_second = _mm256_add_epi8(by_first, by_first);
        const auto &tables = round_tables[s];
        __m256i low = _mm256_blendv_epi8(_mm256_shuffle_epi8(load(tables[0]), index),
                                         _mm256_shuffle_epi8(load(tables[1]), index), as_is(by_second));
        __m256i high = _mm256_blendv_epi8(_mm256_shuffle_epi8(load(tables[2]), index),
                                          _mm256_shuffle_epi8(load(tables[3]), index), as_is(by_second));
        __m256i byte =
            _mm256_sad_epu8(_mm256_and_si256(_mm256_blendv_epi8(low, high, by_first), bits), _mm256_setzero_si256());
        // The byte in both 32-bit halves of its 64, each shifted to its windows.
        __m256i twice = _mm256_shuffle_epi32(byte, 0xA0);
        sum = _mm256_xor_si256(sum, _mm256_or_si256(_mm256_sllv_epi32(twice, load(placements[s].left)),
                                                    _mm256_srlv_epi32(twice, load(placements[s].right))));
    }
    return _mm256_and_si256(sum, _mm256_set1_epi64x(static_cast<long long>(window_mask)));
}

// One round of both blocks, on the halves' windows, and the next round's
// key-mixed windows. The left half takes in the next round's keys and its
// own lane's part of f while the other lane's crosses over, the slowest
// step of the round.
HASHWICK_AVX2_FN void round_avx2(__m256i &l, __m256i &r, __m256i &x, __m256i next_keys) {
    __m256i f = f_windows_avx2(x);
    __m256i mixed = as_is(_mm256_xor_si256(_mm256_xor_si256(l, next_keys), f));
    x = _mm256_xor_si256(mixed, _mm256_permute2x128_si256(f, f, 0x01));
    l = r;
    r = _mm256_xor_si256(x, next_keys);
}

// The halves back from their windows, each in the low half of its 64-bit lane.
HASHWICK_AVX2_FN __m256i half_from_windows_avx2(__m256i w) {
    __m256i rotated = _mm256_or_si256(_mm256_sllv_epi32(w, _mm256_set1_epi64x(std::int64_t(6) << 32 | 2)),
                                      _mm256_srlv_epi32(w, _mm256_set1_epi64x(std::int64_t(26) << 32 | 30)));
    __m256i high = _mm256_and_si256(_mm256_srli_epi64(rotated, 32), _mm256_set1_epi64x(0x03030303));
    return _mm256_and_si256(_mm256_or_si256(rotated, high), _mm256_set1_epi64x(0xFFFFFFFF));
}

HASHWICK_AVX2_FN __m128i rotl32_avx2(__m128i v) { return _mm_or_si128(_mm_slli_epi32(v, 1), _mm_srli_epi32(v, 31)); }

// The output blocks from the last round's halves (both blocks in each lane,
// each half in the low 32 bits of its 64).
HASHWICK_AVX2_FN void final_permutation_avx2(std::uint8_t out[16], __m256i l, __m256i r) {
    __m128i x = _mm_or_si128(_mm_slli_epi64(rotl32_avx2(_mm256_castsi256_si128(l)), 32),
                             rotl32_avx2(_mm256_castsi256_si128(r)));
    x = _mm_shuffle_epi8(x, _mm_load_si128(reinterpret_cast<const __m128i *>(transpose_order.data())));
    for (int k = 0; k < 8; ++k) {
        auto bits = unsigned(_mm_movemask_epi8(_mm_slli_epi64(x, k)));
        out[transpose.byte_of_bit[k]] = std::uint8_t(bits);
        out[8 + transpose.byte_of_bit[k]] = std::uint8_t(bits >> 8);
    }
}

template <std::uint64_t Plain>
HASHWICK_NOINLINE __attribute__((target("avx2"))) void smbhash_avx2(std::uint8_t out[16], const std::uint64_t key[2]) {
    __m256i bytes[2];
    key_bytes_avx2(key, bytes);
    __m256i l = _mm256_set1_epi64x(static_cast<long long>(windows(initial_left<Plain>)));
    __m256i r = _mm256_set1_epi64x(static_cast<long long>(windows(initial_right<Plain>)));
    __m256i x = _mm256_xor_si256(r, round_keys_avx2(bytes, 0));
    for (int round = 1; round < 16; ++round) round_avx2(l, r, x, round_keys_avx2(bytes, round));
    round_avx2(l, r, x, _mm256_setzero_si256());
    final_permutation_avx2(out, half_from_windows_avx2(l), half_from_windows_avx2(r));
    wipe(bytes);
}

#endif

inline std::uint64_t read_key(const std::uint8_t key7[7]) {
    std::uint64_t key = 0;
    for (int i = 0; i < 7; ++i) key = key << 8 | key7[i];
    return key;
}

// The LM one-way function by the given form. The form is called out of
// line, so that its frame, with whatever the compiler spilled there (g++ 16
// leaves a half of the last round in the portable form's), is scrubbed:
// Scrub bytes, enough for the form's frame and the 128 bytes below it that
// a function calling nothing may use, with every compiler CI builds with and
// every interpreter's flags (tests/test_residue.py reads the frame sizes;
// Debian's -fstack-protector-strong takes g++'s AVX2 frame from 72 to 224;
// on s390x g++'s portable frame is 808).
constexpr std::size_t portable_scrub = 1280;
#if HASHWICK_DES_AVX2
constexpr std::size_t avx2_scrub = 512;
#endif

template <void (*Form)(std::uint8_t *, const std::uint64_t *), std::size_t Scrub>
void lm_one_way(const std::uint8_t key14[14], std::uint8_t hash16[16]) {
    std::uint64_t keys[2] = {read_key(key14), read_key(key14 + 7)};
    Form(hash16, keys);
    wipe(keys);
    scrub_stack<Scrub>();
}

// The LM one-way function in each form, by name.
constexpr auto lm_portable = lm_one_way<smbhash_portable<lm_constant>, portable_scrub>;
#if HASHWICK_DES_AVX2
constexpr auto lm_avx2 = lm_one_way<smbhash_avx2<lm_constant>, avx2_scrub>;
#endif

} // namespace
} // namespace hashwick

extern "C" void E_P16(const unsigned char key14[14], unsigned char hash16[16]) {
#if HASHWICK_DES_AVX2
    if (__builtin_cpu_supports("avx2")) return hashwick::lm_avx2(key14, hash16);
#endif
    hashwick::lm_portable(key14, hash16);
}
