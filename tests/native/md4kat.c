/* A plain C program hashing each line of stdin with the exported mdfour
 * (through the header) and printing the digest in lower-case hex, one line
 * each: fed RFC 1320's test suite from tests/vectors.json by .ci/windows,
 * and random lines whose digests are compared with a host build's. */
#include <stdio.h>
#include <string.h>

#include "hashwick.h"

int main(void) {
    static char line[4096];
    while (fgets(line, sizeof line, stdin)) {
        size_t n = strcspn(line, "\r\n");
        unsigned char digest[16];
        if (line[n] == '\0' && n == sizeof line - 1) return 1; /* longer than the buffer */
        mdfour(digest, (const unsigned char *)line, (int)n);
        for (int i = 0; i < 16; ++i) printf("%02x", digest[i]);
        printf("\n");
    }
    return 0;
}
