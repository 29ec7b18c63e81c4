// primitives.hpp - what the units share inside the module and do not export.
#ifndef HASHWICK_PRIMITIVES_HPP
#define HASHWICK_PRIMITIVES_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#endif

// GNU C's extensions (inline asm, attributes, the CPU's features at run
// time) where the compiler has them. HASHWICK_NO_GNU_EXTENSIONS builds what
// other compilers (MSVC) get instead, so that those lines are built and
// tested too.
#if (defined(__GNUC__) || defined(__clang__)) && !defined(HASHWICK_NO_GNU_EXTENSIONS)
#define HASHWICK_GNU 1
#define HASHWICK_NOINLINE __attribute__((noinline))
#elif defined(_MSC_VER)
#define HASHWICK_GNU 0
#define HASHWICK_NOINLINE __declspec(noinline)
#else
#define HASHWICK_GNU 0
#define HASHWICK_NOINLINE
#endif

// The AVX2 form of DES, chosen per call where the CPU has AVX2.
#if defined(__x86_64__) && HASHWICK_GNU
#define HASHWICK_DES_AVX2 1
#else
#define HASHWICK_DES_AVX2 0
#endif
#if defined(HASHWICK_CONSTTIME_CHECK)
#include <valgrind/memcheck.h>
#endif

namespace hashwick {

constexpr std::size_t md4_block_size = 64;
constexpr std::size_t digest_size = 16;

// Overwrites n bytes at p with zeros in a way the optimiser may not drop:
// a memset just before a buffer dies is a dead store it is allowed to remove.
inline void wipe(void *p, std::size_t n) {
#if defined(_WIN32)
    SecureZeroMemory(p, n);
#elif HASHWICK_GNU
    std::memset(p, 0, n);
    // The asm may read any memory reachable from p, so the zeros must be there.
    __asm__ __volatile__("" : : "r"(p) : "memory");
#else
    volatile unsigned char *v = static_cast<volatile unsigned char *>(p);
    while (n--) *v++ = 0;
#endif
}

template <typename T>
inline void wipe(T &object) {
    std::size_t n = sizeof object;
#if HASHWICK_GNU
    // Past a cache line, the C library's memset is several times faster
    // than the `rep stos` compilers inline when they know the size.
    if (n > 64) __asm__("" : "+r"(n));
#endif
    wipe(&object, n);
}

// Zeroes N bytes of stack just below the caller: where the frame of a
// function it has just called lay. What the compiler spilled there (copies
// that no wipe of ours can name) goes with it. Kept out of line, or its
// buffer would be the caller's own frame.
template <std::size_t N>
HASHWICK_NOINLINE void scrub_stack() {
    unsigned char below[N];
    // As an object: the C library's memset, not the slower inline `rep stos`.
    wipe(below);
}

// The value, hidden from the optimiser: arithmetic on a secret, a mask
// made from one bit say, may not be turned back into a branch on it.
template <typename T>
inline T opaque(T value) {
#if HASHWICK_GNU
    __asm__("" : "+r"(value));
#endif
    return value;
}

// Declares a value computed from secrets public. In the constant-time
// check (a build with HASHWICK_CONSTTIME_CHECK, run under valgrind's
// memcheck with the password marked undefined) any branch or address that
// depends on the password is an error, except through a value passed here;
// only facts that the result or the encoding make public anyway are.
template <typename T>
inline T declassify(T value) {
#if defined(HASHWICK_CONSTTIME_CHECK)
    VALGRIND_MAKE_MEM_DEFINED(&value, sizeof value);
#endif
    return value;
}

// MD4 for callers that produce the message as they go (the NT hash widens
// the password straight into a buffer of its own): whole blocks first,
// then the rest, which may be of any length.
void md4_start(std::uint32_t abcd[4]);
void md4_blocks(std::uint32_t abcd[4], const std::uint8_t *blocks, std::size_t count);
// Takes the last n bytes, pads, writes the digest and wipes abcd;
// `total` is the whole message's length in bytes.
void md4_finish(std::uint32_t abcd[4], const std::uint8_t *last, std::size_t n, std::uint64_t total,
                std::uint8_t digest[digest_size]);

// The whole message in one call, of any length the address space holds.
void md4(std::uint8_t digest[digest_size], const std::uint8_t *message, std::size_t length);

} // namespace hashwick

#endif
