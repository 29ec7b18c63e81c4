/* hashwick.h - the two hash primitives exported by the hashwick shared object.
 *
 * Both functions are reentrant: they keep their state on the caller's stack,
 * allocate nothing and may run on many threads at once. */
#ifndef HASHWICK_H
#define HASHWICK_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define HASHWICK_API __declspec(dllexport)
#elif defined(__GNUC__)
#define HASHWICK_API __attribute__((visibility("default")))
#else
#define HASHWICK_API
#endif

/* Writes the RFC 1320 MD4 digest of message[0..length) to digest;
 * a negative length is taken as 0 (the digest of the empty message). */
HASHWICK_API void mdfour(unsigned char digest[16], const unsigned char *message, int length);

/* Writes the LAN Manager one-way function of key14 to hash16: DES encryption
 * of "KGS!@#$%" under key14[0..7) into hash16[0..8), under key14[7..14) into hash16[8..16). */
HASHWICK_API void E_P16(const unsigned char key14[14], unsigned char hash16[16]);

#ifdef __cplusplus
}
#endif

#endif /* HASHWICK_H */
