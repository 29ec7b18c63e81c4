// E_P16 by each DES form this CPU can run, forced, for the tests to hold
// against OpenSSL. First line: the forms' names; then, for each 14-byte key
// read from stdin as 28 hex digits, one line with each form's result.
// Argument: --avx2 to run that form even where the runtime cannot tell.
#include <cstdio>
#include <cstring>

#include "smbdes.cpp"

namespace {

struct Form {
    const char *name;
    void (*run)(const std::uint8_t *, std::uint8_t *);
};

} // namespace

int main(int argc, char **argv) {
    Form forms[2] = {{"portable", hashwick::lm_portable}};
    int count = 1;
    // "--avx2": the CPU has AVX2, whether or not this runtime can tell
    // (zig's never detects CPU features).
    bool avx2 = argc > 1 && std::strcmp(argv[1], "--avx2") == 0;
#if HASHWICK_DES_AVX2
    if (avx2 || __builtin_cpu_supports("avx2")) forms[count++] = {"avx2", hashwick::lm_avx2};
#else
    (void)avx2;
#endif
    for (int f = 0; f < count; ++f) std::printf("%s%s", f ? " " : "", forms[f].name);
    std::printf("\n");
    char line[64];
    while (std::fgets(line, sizeof line, stdin)) {
        std::uint8_t key[14], hash[16];
        for (int i = 0; i < 14; ++i) {
            unsigned byte;
            if (std::sscanf(line + 2 * i, "%2x", &byte) != 1) return 1;
            key[i] = std::uint8_t(byte);
        }
        for (int f = 0; f < count; ++f) {
            forms[f].run(key, hash);
            for (int i = 0; i < 16; ++i) std::printf("%s%02X", i == 0 && f ? " " : "", hash[i]);
        }
        std::printf("\n");
    }
}
