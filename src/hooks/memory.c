/*
 * The two memory routines that the compiler calls for large zeroing and
 * copying, in the DLL itself: it links no C runtime. Built freestanding, so
 * that these loops are never turned back into calls to themselves.
 */
#include <stddef.h>

void* memset(void* destination, int value, size_t count) {
    unsigned char* out = (unsigned char*)destination;
    while (count-- > 0) {
        *out++ = (unsigned char)value;
    }
    return destination;
}

void* memcpy(void* destination, const void* source, size_t count) {
    unsigned char* out = (unsigned char*)destination;
    const unsigned char* in = (const unsigned char*)source;
    while (count-- > 0) {
        *out++ = *in++;
    }
    return destination;
}
