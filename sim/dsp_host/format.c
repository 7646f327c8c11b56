/* Formatting and byte helpers of the DSP runtime, written without a C library so that the
 * runtime also builds freestanding. */
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#include "runtime.h"

void dsp_copy(void* dst, const void* src, uint32_t n) {
    uint8_t* d = (uint8_t*)dst;
    const uint8_t* s = (const uint8_t*)src;
    for (uint32_t i = 0; i < n; ++i)
        d[i] = s[i];
}

void dsp_fill(void* dst, int value, uint32_t n) {
    uint8_t* d = (uint8_t*)dst;
    for (uint32_t i = 0; i < n; ++i)
        d[i] = (uint8_t)value;
}

uint32_t dsp_strnlen(const char* s, uint32_t max) {
    uint32_t n = 0;
    while (n < max && s[n] != '\0')
        ++n;
    return n;
}

int dsp_strcmp(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return (int)(uint8_t)*a - (int)(uint8_t)*b;
}

typedef struct out_state {
    char* buf;
    uint32_t size;
    uint32_t len; /* full length, also past the end of the buffer */
} out_state;

static void out_char(out_state* o, char c) {
    if (o->size != 0 && o->len < o->size - 1)
        o->buf[o->len] = c;
    ++o->len;
}

static void out_pad(out_state* o, char c, int n) {
    for (int i = 0; i < n; ++i)
        out_char(o, c);
}

enum { F_LEFT = 1, F_ZERO = 2, F_PLUS = 4, F_SPACE = 8 };

static void out_number(out_state* o, uint64_t value, int negative, unsigned base, int upper,
                       int flags, int width, int precision) {
    char digits[24];
    int n = 0;
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    if (value == 0 && precision != 0)
        digits[n++] = '0';
    while (value != 0) {
        digits[n++] = set[value % base];
        value /= base;
    }
    char sign = negative ? '-' : (flags & F_PLUS) ? '+' : (flags & F_SPACE) ? ' ' : 0;
    int zeros = precision > n ? precision - n : 0;
    int total = n + zeros + (sign ? 1 : 0);
    int pad = width > total ? width - total : 0;
    if ((flags & F_ZERO) && !(flags & F_LEFT) && precision < 0) {
        zeros += pad;
        pad = 0;
    }
    if (!(flags & F_LEFT))
        out_pad(o, ' ', pad);
    if (sign)
        out_char(o, sign);
    out_pad(o, '0', zeros);
    while (n > 0)
        out_char(o, digits[--n]);
    if (flags & F_LEFT)
        out_pad(o, ' ', pad);
}

int dsp_vformat(char* buf, uint32_t size, const char* format, va_list ap) {
    out_state o = {buf, size, 0};
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            out_char(&o, *p);
            continue;
        }
        ++p;
        int flags = 0;
        for (;; ++p) {
            if (*p == '-')
                flags |= F_LEFT;
            else if (*p == '0')
                flags |= F_ZERO;
            else if (*p == '+')
                flags |= F_PLUS;
            else if (*p == ' ')
                flags |= F_SPACE;
            else if (*p == '#')
                continue;
            else
                break;
        }
        int width = 0;
        if (*p == '*') {
            width = va_arg(ap, int);
            if (width < 0) {
                flags |= F_LEFT;
                width = -width;
            }
            ++p;
        } else {
            while (*p >= '0' && *p <= '9')
                width = width * 10 + (*p++ - '0');
        }
        int precision = -1;
        if (*p == '.') {
            ++p;
            precision = 0;
            if (*p == '*') {
                precision = va_arg(ap, int);
                ++p;
            } else {
                while (*p >= '0' && *p <= '9')
                    precision = precision * 10 + (*p++ - '0');
            }
        }
        int length = 0; /* -2 hh, -1 h, 0 int, 1 long, 2 long long, 3 intmax, 4 size_t/ptrdiff */
        if (*p == 'h') {
            length = -1;
            if (*++p == 'h') {
                length = -2;
                ++p;
            }
        } else if (*p == 'l') {
            length = 1;
            if (*++p == 'l') {
                length = 2;
                ++p;
            }
        } else if (*p == 'j') {
            length = 3;
            ++p;
        } else if (*p == 'z' || *p == 't') {
            /* As wide as a pointer: 32 bits on the DSP, unlike intmax_t. */
            length = 4;
            ++p;
        }
        const char c = *p;
        if (c == '\0')
            break;
        if (c == 'd' || c == 'i') {
            int64_t v;
            if (length == 2)
                v = va_arg(ap, long long);
            else if (length == 1)
                v = va_arg(ap, long);
            else if (length == 3)
                v = (int64_t)va_arg(ap, intmax_t);
            else if (length == 4)
                v = (int64_t)va_arg(ap, ptrdiff_t);
            else
                v = va_arg(ap, int);
            if (length == -1)
                v = (short)v;
            if (length == -2)
                v = (signed char)v;
            uint64_t mag = v < 0 ? (uint64_t)0 - (uint64_t)v : (uint64_t)v;
            out_number(&o, mag, v < 0, 10, 0, flags, width, precision);
        } else if (c == 'u' || c == 'x' || c == 'X' || c == 'o') {
            uint64_t v;
            if (length == 2)
                v = va_arg(ap, unsigned long long);
            else if (length == 1)
                v = va_arg(ap, unsigned long);
            else if (length == 3)
                v = (uint64_t)va_arg(ap, uintmax_t);
            else if (length == 4)
                v = (uint64_t)va_arg(ap, size_t);
            else
                v = va_arg(ap, unsigned int);
            if (length == -1)
                v = (unsigned short)v;
            if (length == -2)
                v = (unsigned char)v;
            unsigned base = c == 'u' ? 10u : c == 'o' ? 8u : 16u;
            out_number(&o, v, 0, base, c == 'X', flags & ~(F_PLUS | F_SPACE), width, precision);
        } else if (c == 'p') {
            uintptr_t v = (uintptr_t)va_arg(ap, void*);
            out_char(&o, '0');
            out_char(&o, 'x');
            out_number(&o, v, 0, 16, 0, 0, 0, -1);
        } else if (c == 'c') {
            char ch = (char)va_arg(ap, int);
            if (!(flags & F_LEFT))
                out_pad(&o, ' ', width - 1);
            out_char(&o, ch);
            if (flags & F_LEFT)
                out_pad(&o, ' ', width - 1);
        } else if (c == 's') {
            const char* s = va_arg(ap, const char*);
            if (s == 0)
                s = "(null)";
            uint32_t n = dsp_strnlen(s, precision < 0 ? 0xffffffffu : (uint32_t)precision);
            int pad = width > (int)n ? width - (int)n : 0;
            if (!(flags & F_LEFT))
                out_pad(&o, ' ', pad);
            for (uint32_t i = 0; i < n; ++i)
                out_char(&o, s[i]);
            if (flags & F_LEFT)
                out_pad(&o, ' ', pad);
        } else {
            out_char(&o, c); /* "%%" and anything unknown print the character itself */
        }
    }
    if (size != 0)
        buf[o.len < size ? o.len : size - 1] = '\0';
    return (int)o.len;
}

int dsp_format(char* buf, uint32_t size, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = dsp_vformat(buf, size, format, ap);
    va_end(ap);
    return n;
}
