// primitives.hpp - what the units share inside the module and do not export.
#ifndef HASHWICK_PRIMITIVES_HPP
#define HASHWICK_PRIMITIVES_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace hashwick {

constexpr std::size_t md4_block_size = 64;
constexpr std::size_t digest_size = 16;

// Overwrites n bytes at p with zeros in a way the optimiser may not drop:
// a memset just before a buffer dies is a dead store it is allowed to remove.
inline void wipe(void *p, std::size_t n) {
#if defined(_WIN32)
    SecureZeroMemory(p, n);
#elif defined(__GNUC__) || defined(__clang__)
    std::memset(p, 0, n);
    // The asm may read any memory reachable from p, so the zeros must be there.
    __asm__ __volatile__("" : : "r"(p) : "memory");
#else
    volatile unsigned char *v = static_cast<volatile unsigned char *>(p);
    while (n--) *v++ = 0;
#endif
}

template <typename T> inline void wipe(T &object) { wipe(&object, sizeof object); }

// MD4 over a message that arrives in pieces, for callers that produce it
// on the fly (the NT hash widens the password straight into it).
struct Md4 {
    std::uint32_t abcd[4];
    std::uint64_t length;                 // bytes taken so far
    std::uint8_t pending[md4_block_size]; // an incomplete block
};

void md4_start(Md4 &state);
void md4_update(Md4 &state, const std::uint8_t *data, std::size_t n);
// Writes the digest and wipes the state.
void md4_finish(Md4 &state, std::uint8_t digest[digest_size]);

// The whole message in one call, of any length the address space holds.
void md4(std::uint8_t digest[digest_size], const std::uint8_t *message, std::size_t length);

} // namespace hashwick

#endif
