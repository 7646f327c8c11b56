/* The C library functions that the DSP runtime provides to the DSP library and that the compiler
 * may call for copies and initialisations: memory functions and vsnprintf, for a freestanding
 * Hexagon program. vsnprintf is the runtime's own formatter (dsp_vformat). */
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#include "runtime.h"

void* memset(void* s, int c, size_t n);
void* memcpy(void* dst, const void* src, size_t n);
void* memmove(void* dst, const void* src, size_t n);
int memcmp(const void* a, const void* b, size_t n);
int vsnprintf(char* str, size_t size, const char* format, va_list ap);
int snprintf(char* str, size_t size, const char* format, ...);
void* __hexagon_memcpy_likely_aligned_min32bytes_mult8bytes(void* dst, const void* src, size_t n);

void* memset(void* s, int c, size_t n) {
    dsp_fill(s, c, (uint32_t)n);
    return s;
}

void* memcpy(void* dst, const void* src, size_t n) {
    dsp_copy(dst, src, (uint32_t)n);
    return dst;
}

/* What the compiler calls for large copies it knows to be 8-byte multiples. */
void* __hexagon_memcpy_likely_aligned_min32bytes_mult8bytes(void* dst, const void* src, size_t n) {
    dsp_copy(dst, src, (uint32_t)n);
    return dst;
}

void* memmove(void* dst, const void* src, size_t n) {
    uint8_t* d = (uint8_t*)dst;
    const uint8_t* s = (const uint8_t*)src;
    if (d < s || d >= s + n) {
        dsp_copy(dst, src, (uint32_t)n);
    } else {
        while (n > 0) {
            --n;
            d[n] = s[n];
        }
    }
    return dst;
}

int memcmp(const void* a, const void* b, size_t n) {
    const uint8_t* x = (const uint8_t*)a;
    const uint8_t* y = (const uint8_t*)b;
    for (size_t i = 0; i < n; ++i) {
        if (x[i] != y[i]) {
            return (int)x[i] - (int)y[i];
        }
    }
    return 0;
}

int vsnprintf(char* str, size_t size, const char* format, va_list ap) {
    return dsp_vformat(str, (uint32_t)size, format, ap);
}

int snprintf(char* str, size_t size, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    const int n = dsp_vformat(str, (uint32_t)size, format, ap);
    va_end(ap);
    return n;
}
