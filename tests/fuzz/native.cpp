// libFuzzer harness for the two exported primitives: mdfour over the whole
// input and E_P16 over its first 14 bytes, in each DES form this CPU runs,
// each checked against OpenSSL.
#include <openssl/des.h>
#include <openssl/md4.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "smbdes.cpp"

namespace {

void openssl_lm(const std::uint8_t key14[14], std::uint8_t out[16]) {
    static unsigned char lm[8] = {'K', 'G', 'S', '!', '@', '#', '$', '%'};
    for (int half = 0; half < 2; ++half) {
        const std::uint8_t *k = key14 + 7 * half;
        DES_cblock key;
        key[0] = k[0] & 0xFE;
        for (int i = 1; i < 7; ++i) key[i] = ((k[i - 1] << (8 - i)) | (k[i] >> i)) & 0xFE;
        key[7] = (k[6] << 1) & 0xFE;
        DES_key_schedule schedule;
        DES_set_key_unchecked(&key, &schedule);
        DES_ecb_encrypt(&lm, reinterpret_cast<DES_cblock *>(out + 8 * half), &schedule, DES_ENCRYPT);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::uint8_t ours[16], theirs[16];
    if (size <= INT_MAX) {
        mdfour(ours, data, int(size));
        MD4(data, size, theirs);
        if (std::memcmp(ours, theirs, 16)) std::abort();
    }
    std::uint8_t key[14] = {};
    std::memcpy(key, data, size < 14 ? size : 14);
    openssl_lm(key, theirs);
    E_P16(key, ours);
    if (std::memcmp(ours, theirs, 16)) std::abort();
    hashwick::lm_portable(key, ours);
    if (std::memcmp(ours, theirs, 16)) std::abort();
#if HASHWICK_DES_AVX2
    if (__builtin_cpu_supports("avx2")) {
        hashwick::lm_avx2(key, ours);
        if (std::memcmp(ours, theirs, 16)) std::abort();
    }
#endif
    return 0;
}
