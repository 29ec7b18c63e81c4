/* A plain C program using the exported primitives through the header,
 * linked against the built extension module. */
#include <stdio.h>
#include <string.h>

#include "hashwick.h"

static void print_hex(const unsigned char *p) {
    for (int i = 0; i < 16; ++i) printf("%02X", p[i]);
}

int main(void) {
    static const unsigned char utf16[] = {'P', 0, 'a', 0, 's', 0, 's', 0, 'w', 0, 'o', 0, 'r', 0, 'd', 0};
    unsigned char key[14] = "PASSWORD", nt[16], lm[16];
    mdfour(nt, utf16, (int)sizeof utf16);
    E_P16(key, lm);
    print_hex(lm);
    printf(" ");
    print_hex(nt);
    printf("\n");
    return 0;
}
