// Native timings: hashwick's mdfour and E_P16 against OpenSSL's MD4 and DES,
// interleaved round by round in one process. Prints JSON: median ns per call.
// Each call's input comes from the loop counter, not the previous output:
// independent calls, as when hashing a list of passwords (throughput).
// E_P16 is also timed in each of its forms, forced, and, when built with
// HASHWICK_BEFORE, as E_P16_before: an earlier revision's, for comparison.
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

std::vector<Case> cases = {
    {"E_P16", time_des<E_P16>, 20000, {}},
    {"E_P16_portable", time_des<hashwick::lm_portable>, 20000, {}},
    {"openssl_des", time_des<openssl_lm>, 20000, {}},
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
    if (__builtin_cpu_supports("avx2")) cases.push_back({"E_P16_avx2", time_des<hashwick::lm_avx2>, 20000, {}});
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
