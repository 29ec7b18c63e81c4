// Shows that the wipe helper survives optimisation: a buffer whose last use
// is the wipe is checked afterwards, through a pointer kept from outside.
// A plain memset in the same place is a dead store the compiler may drop;
// that case is printed, not judged, since whether it is dropped varies.
#include <cstdio>
#include <cstring>

#include "primitives.hpp"

namespace {

const volatile unsigned char *left_behind;
volatile unsigned sink;

__attribute__((noinline)) void consume(const unsigned char *p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) sink = sink + p[i];
}

__attribute__((noinline)) void hold_secret(bool wipe) {
    unsigned char secret[64];
    for (unsigned i = 0; i < sizeof secret; ++i) secret[i] = static_cast<unsigned char>(0xA5 ^ i);
    consume(secret, sizeof secret);
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic ignored "-Wdangling-pointer" // the point of the test
#endif
    left_behind = secret;
    if (wipe)
        hashwick::wipe(secret, sizeof secret);
    else
        std::memset(secret, 0, sizeof secret);
}

// Counts the bytes of the dead frame that still hold the secret.
__attribute__((noinline)) int survivors() {
    int count = 0;
    for (unsigned i = 0; i < 64; ++i) count += left_behind[i] == static_cast<unsigned char>(0xA5 ^ i);
    return count;
}

} // namespace

int main() {
    hold_secret(false);
    int after_memset = survivors();
    hold_secret(true);
    int after_wipe = survivors();
    std::printf("secret bytes left: after memset %d, after wipe %d\n", after_memset, after_wipe);
    return after_wipe == 0 ? 0 : 1;
}
