/* Test shim: a getrandom() that hands out fixed bytes.
 *
 * Preloaded (LD_PRELOAD) into a Python process, it replaces the C library's
 * getrandom() so that code seeding itself from "operating-system entropy"
 * becomes reproducible.  The bytes come from the environment variable
 * FIXED_ENTROPY_HEX (hex digits, two per byte), read on every call and
 * repeated as often as needed to fill the request.  Without the variable, or
 * with an unusable value, the real system call is made.
 */
#define _GNU_SOURCE
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

static int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

ssize_t getrandom(void *buf, size_t len, unsigned flags) {
    const char *hex = getenv("FIXED_ENTROPY_HEX");
    size_t digits = hex ? strlen(hex) : 0;
    unsigned char bytes[256];
    size_t count = 0;

    for (size_t i = 0; i + 1 < digits && count < sizeof bytes; i += 2) {
        int hi = hex_digit(hex[i]), lo = hex_digit(hex[i + 1]);
        if (hi < 0 || lo < 0) {
            count = 0;
            break;
        }
        bytes[count++] = (unsigned char)(hi * 16 + lo);
    }
    if (count == 0)
        return syscall(SYS_getrandom, buf, len, flags);

    unsigned char *out = buf;
    for (size_t i = 0; i < len; i++)
        out[i] = bytes[i % count];
    return (ssize_t)len;
}
