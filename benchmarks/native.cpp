// Native timings: hashwick's mdfour and E_P16 against OpenSSL's MD4 and DES,
// interleaved round by round in one process. Prints JSON: median ns per call.
// Each call's input comes from the loop counter, not the previous output:
// independent calls, as when hashing a list of passwords (throughput).
// E_P16 is also timed in each of its forms, forced, and, when built with
// HASHWICK_BEFORE, as E_P16_before: an earlier revision's, for comparison;
// and each form in parts (part_*: key schedules, rounds, final
// permutation, stack scrub), so that a change starts from where the time is.
#include <openssl/des.h>
#include <openssl/md4.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "smbdes.cpp"

#if HASHWICK_BEFORE
extern "C" void E_P16_before(const unsigned char key14[14], unsigned char hash16[16]);
#endif

namespace {

unsigned char sink[16];
std::vector<unsigned char> big(1 << 20);

void spread(const unsigned char *k, unsigned char *key) {
    key[0] = k[0] & 0xFE;
    for (int i = 1; i < 7; ++i) key[i] = ((k[i - 1] << (8 - i)) | (k[i] >> i)) & 0xFE;
    key[7] = (k[6] << 1) & 0xFE;
}

void openssl_lm(const unsigned char key14[14], unsigned char out[16]) {
    static unsigned char lm[8] = {'K', 'G', 'S', '!', '@', '#', '$', '%'};
    for (int half = 0; half < 2; ++half) {
        DES_cblock key;
        DES_key_schedule schedule;
        spread(key14 + 7 * half, key);
        DES_set_key_unchecked(&key, &schedule);
        DES_ecb_encrypt(&lm, reinterpret_cast<DES_cblock *>(out + 8 * half), &schedule, DES_ENCRYPT);
    }
}

struct Case {
    const char *name;
    void (*run)(unsigned i);
    unsigned calls;
    std::vector<double> samples;
};

unsigned char key[14] = "PASSWORD";
unsigned char msg[16] = "P\0a\0s\0s\0w\0o\0r\0d";

template <void (*Form)(const std::uint8_t *, std::uint8_t *)>
void time_des(unsigned i) {
    key[i % 14] = std::uint8_t(i);
    Form(key, sink);
}

// The parts of E_P16, each timed alone on inputs from the loop counter.
// The initial permutation has no part: the plaintext is fixed, so the
// halves it makes are constants.
std::uint64_t part_keys[2];
std::uint64_t part_schedule[2][16];

void keys_from(unsigned i) {
    part_keys[0] = 0x0123456789ABCDull ^ i;
    part_keys[1] = 0xFEDCBA98765432ull ^ (std::uint64_t(i) << 29);
}

template <typename T>
void keep(const T &object) {
    __asm__ __volatile__("" : : "r"(&object) : "memory");
}

HASHWICK_NOINLINE void part_schedule_portable(unsigned i) {
    keys_from(i);
    hashwick::schedule_portable(part_keys[0], part_schedule[0]);
    hashwick::schedule_portable(part_keys[1], part_schedule[1]);
    keep(part_schedule);
}

HASHWICK_NOINLINE void part_rounds_portable(unsigned i) {
    std::uint32_t l[2] = {i, ~i}, r[2] = {i * 3, i * 5};
    hashwick::rounds_portable(part_schedule, l, r);
    keep(l);
    keep(r);
}

HASHWICK_NOINLINE void part_final_portable(unsigned i) {
    std::uint8_t out[16];
    for (int n = 0; n < 2; ++n) hashwick::store_le64(out + 8 * n, hashwick::final_permutation(i + n, i * 7 + n));
    keep(out);
}

HASHWICK_NOINLINE void part_scrub_portable(unsigned) { hashwick::scrub_stack<hashwick::portable_scrub>(); }
HASHWICK_NOINLINE void part_scrub_avx2(unsigned) { hashwick::scrub_stack<hashwick::avx2_scrub>(); }

#if HASHWICK_DES_AVX2
// In E_P16 the AVX2 form makes each round's keys in the round before, where
// they overlap with the rounds' waits; here each part runs alone.
__m256i part_round_keys[16];

HASHWICK_NOINLINE __attribute__((target("avx2"))) void part_schedule_avx2(unsigned i) {
    keys_from(i);
    __m256i bytes[2];
    hashwick::key_bytes_avx2(part_keys, bytes);
    for (int round = 0; round < 16; ++round) part_round_keys[round] = hashwick::round_keys_avx2(bytes, round);
    keep(part_round_keys);
}

HASHWICK_NOINLINE __attribute__((target("avx2"))) void part_rounds_avx2(unsigned i) {
    __m256i l = _mm256_set1_epi64x(i), r = _mm256_set1_epi64x(i * 3), x = _mm256_xor_si256(r, part_round_keys[0]);
    for (int round = 1; round < 16; ++round) hashwick::round_avx2(l, r, x, part_round_keys[round]);
    hashwick::round_avx2(l, r, x, _mm256_setzero_si256());
    alignas(32) std::uint64_t halves[2][4];
    _mm256_store_si256(reinterpret_cast<__m256i *>(halves[0]), l);
    _mm256_store_si256(reinterpret_cast<__m256i *>(halves[1]), r);
    keep(halves);
}

HASHWICK_NOINLINE __attribute__((target("avx2"))) void part_final_avx2(unsigned i) {
    std::uint8_t out[16];
    hashwick::final_permutation_avx2(out, _mm256_set1_epi64x(i), _mm256_set1_epi64x(i * 7));
    keep(out);
}
#endif

std::vector<Case> cases = {
    {"E_P16", time_des<E_P16>, 20000, {}},
    {"E_P16_portable", time_des<hashwick::lm_portable>, 20000, {}},
    {"openssl_des", time_des<openssl_lm>, 20000, {}},
    {"part_schedule_portable", part_schedule_portable, 20000, {}},
    {"part_rounds_portable", part_rounds_portable, 20000, {}},
    {"part_final_portable", part_final_portable, 200000, {}},
    {"part_scrub_portable", part_scrub_portable, 200000, {}},
    {"part_scrub_avx2", part_scrub_avx2, 200000, {}},
    {"mdfour_16",
     [](unsigned i) {
         msg[i & 15] = std::uint8_t(i);
         mdfour(sink, msg, 16);
     },
     50000,
     {}},
    {"openssl_md4_16",
     [](unsigned i) {
         msg[i & 15] = std::uint8_t(i);
         MD4(msg, 16, sink);
     },
     50000,
     {}},
    {"mdfour_1mib",
     [](unsigned i) {
         big[i] = std::uint8_t(i);
         mdfour(sink, big.data(), int(big.size()));
     },
     20,
     {}},
    {"openssl_md4_1mib",
     [](unsigned i) {
         big[i] = std::uint8_t(i);
         MD4(big.data(), big.size(), sink);
     },
     20,
     {}},
};

} // namespace

int main(int argc, char **argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 30;
#if HASHWICK_DES_AVX2
    if (__builtin_cpu_supports("avx2")) {
        cases.push_back({"E_P16_avx2", time_des<hashwick::lm_avx2>, 20000, {}});
        cases.push_back({"part_schedule_avx2", part_schedule_avx2, 20000, {}});
        cases.push_back({"part_rounds_avx2", part_rounds_avx2, 20000, {}});
        cases.push_back({"part_final_avx2", part_final_avx2, 200000, {}});
    }
#endif
#if HASHWICK_BEFORE
    cases.push_back({"E_P16_before", time_des<E_P16_before>, 20000, {}});
#endif
    unsigned char check[16];
    openssl_lm(key, check);
    for (std::size_t c = 0; c < cases.size(); ++c) {
        if (std::strncmp(cases[c].name, "E_P16", 5)) continue;
        cases[c].run(0);
        openssl_lm(key, check);
        if (std::memcmp(check, sink, 16)) return std::printf("%s disagrees with OpenSSL\n", cases[c].name), 1;
    }
    MD4(big.data(), big.size(), check);
    mdfour(sink, big.data(), int(big.size()));
    if (std::memcmp(check, sink, 16)) return std::puts("mdfour disagrees with OpenSSL"), 1;

    for (int r = 0; r < rounds; ++r)
        for (Case &c : cases) {
            auto start = std::chrono::steady_clock::now();
            for (unsigned i = 0; i < c.calls; ++i) c.run(i);
            std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
            c.samples.push_back(took.count() / c.calls);
        }
    std::printf("{");
    for (Case &c : cases) {
        std::sort(c.samples.begin(), c.samples.end());
        std::printf("%s\"%s\": %.2f", &c == &cases[0] ? "" : ", ", c.name, c.samples[c.samples.size() / 2]);
    }
    std::printf("}\n");
}
