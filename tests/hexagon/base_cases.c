/* The freestanding base of the Hexagon programs: the compiler's division helpers (Hexagon has
 * no divide instruction, so every '/' and '%' below goes through them), vsnprintf with the
 * conversions that the DSP runtime's trace lines and the DSP library's log records use, and the
 * memory functions. */
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#include "check.h"
#include "fastrpc/remote_types.h"
#include "hexagon/hap_runtime.h"

void* memcpy(void* dst, const void* src, size_t n);
void* memmove(void* dst, const void* src, size_t n);
int memcmp(const void* a, const void* b, size_t n);
int snprintf(char* str, size_t size, const char* format, ...);

void check_case_setup(void) {}

static double from_bits(uint64_t u) {
    union {
        uint64_t u;
        double d;
    } x = {u};
    return x.d;
}

static uint64_t to_bits(double d) {
    union {
        double d;
        uint64_t u;
    } x = {d};
    return x.u;
}

static float from_bits32(uint32_t u) {
    union {
        uint32_t u;
        float f;
    } x = {u};
    return x.f;
}

static uint32_t to_bits32(float f) {
    union {
        float f;
        uint32_t u;
    } x = {f};
    return x.u;
}

/* Quotients as IEEE 754 division rounds them to nearest even, bit for bit: rounding ties,
 * subnormal results, overflow to infinity, zeros, infinities, and the load model's kind of
 * values (cycles and nanoseconds over 1e9). */
static const uint64_t double_quotients[][3] = {
    {0x3ff0000000000000u, 0x4008000000000000u, 0x3fd5555555555555u},
    {0x4000000000000000u, 0x4008000000000000u, 0x3fe5555555555555u},
    {0xc01e000000000000u, 0x4004000000000000u, 0xc008000000000000u},
    {0x7e37e43c8800759cu, 0x3ddb7cdfd9d7bdbbu, 0x7ff0000000000000u},
    {0x01a56e1fc2f8f359u, 0x4202a05f20000000u, 0x000012688b70e62bu},
    {0x0000000000000001u, 0x4000000000000000u, 0x0000000000000000u},
    {0x0000000000000003u, 0x4000000000000000u, 0x0000000000000002u},
    {0x0010000000000000u, 0x4008000000000000u, 0x0005555555555555u},
    {0x3ff0000000000000u, 0x7fefffffffffffffu, 0x0004000000000000u},
    {0x7fefffffffffffffu, 0x3fe0000000000000u, 0x7ff0000000000000u},
    {0x41bae59ae4000000u, 0x41cdcd6500000000u, 0x3fdce15cb3ac8cb3u},
    {0x41cde2ac44000000u, 0x41cdcd6500000000u, 0x3ff00b6c7a7c9de0u},
    {0x419d6f3454000000u, 0x3ff0000000000000u, 0x419d6f3454000000u},
    {0x0000000000000000u, 0x4014000000000000u, 0x0000000000000000u},
    {0x8000000000000000u, 0x4014000000000000u, 0x8000000000000000u},
    {0x4008000000000000u, 0x0000000000000000u, 0x7ff0000000000000u},
    {0xc008000000000000u, 0x0000000000000000u, 0xfff0000000000000u},
    {0x7ff0000000000000u, 0x4000000000000000u, 0x7ff0000000000000u},
    {0x4000000000000000u, 0x7ff0000000000000u, 0x0000000000000000u},
    {0x3ff0000000000001u, 0x3ff0000000000002u, 0x3feffffffffffffeu},
    {0x4000000000000003u, 0x4000000000000000u, 0x3ff0000000000003u},
};

static void double_division(void) {
    for (size_t i = 0; i < sizeof double_quotients / sizeof double_quotients[0]; ++i) {
        volatile double a = from_bits(double_quotients[i][0]);
        volatile double b = from_bits(double_quotients[i][1]);
        CHECK_EQ(to_bits(a / b), double_quotients[i][2]);
    }
}

static int is_nan(uint64_t bits) {
    return (bits & 0x7ff0000000000000u) == 0x7ff0000000000000u && (bits & 0xfffffffffffffu) != 0;
}

static void double_division_without_a_value(void) {
    volatile double zero = 0.0;
    volatile double inf = from_bits(0x7ff0000000000000u);
    volatile double nan = from_bits(0x7ff8000000000001u);
    volatile double one = 1.0;
    CHECK(is_nan(to_bits(zero / zero)));
    CHECK(is_nan(to_bits(inf / inf)));
    CHECK(is_nan(to_bits(nan / one)));
    CHECK(is_nan(to_bits(one / nan)));
}

static const uint32_t float_quotients[][3] = {
    {0x3f800000u, 0x40400000u, 0x3eaaaaabu},
    {0x006ce3eeu, 0x41200000u, 0x000ae398u},
    {0x7f7fc99eu, 0x3dcccccdu, 0x7f800000u},
    {0x48dc56e0u, 0x447a0000u, 0x43e1a0a4u},
};

static void float_division(void) {
    for (size_t i = 0; i < sizeof float_quotients / sizeof float_quotients[0]; ++i) {
        volatile float a = from_bits32(float_quotients[i][0]);
        volatile float b = from_bits32(float_quotients[i][1]);
        CHECK_EQ(to_bits32(a / b), float_quotients[i][2]);
    }
}

static void integer_division(void) {
    volatile uint64_t big = 0xfedcba9876543210u;
    volatile uint64_t d = 0x12345679bu;
    CHECK_EQ(big / d, 0xdffffff2u);
    CHECK_EQ(big % d, 0xc41fdc8au);
    CHECK_EQ(big / 1u, big);
    CHECK_EQ(big / big, 1u);
    CHECK_EQ(d / big, 0u);
    CHECK_EQ(d % big, d);
    /* The library's timer conversion: 19.2 MHz ticks to microseconds. */
    volatile uint64_t ticks = 19200000u;
    CHECK_EQ(ticks * 10u / 192u, 1000000u);
    volatile int64_t neg = -1000000000007;
    volatile int64_t seven = 7;
    CHECK_EQ(neg / seven, (uint64_t)(int64_t)-142857142858);
    CHECK_EQ(neg % seven, (uint64_t)(int64_t)-1);
    CHECK_EQ(-neg / -seven, (uint64_t)(int64_t)-142857142858);
    CHECK_EQ(neg / -seven, 142857142858u);
    volatile uint32_t u = 4000000000u;
    volatile uint32_t v = 7u;
    CHECK_EQ(u / v, 571428571u);
    CHECK_EQ(u % v, 3u);
    volatile int32_t s = -2000000001;
    volatile int32_t t = 10;
    CHECK_EQ((int64_t)(s / t), (uint64_t)(int64_t)-200000000);
    CHECK_EQ((int64_t)(s % t), (uint64_t)(int64_t)-1);
}

static int format(char* buf, size_t size, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int n = vsnprintf(buf, size, fmt, ap);
    va_end(ap);
    return n;
}

static void formats_of_the_runtime(void) {
    char buf[128];
    CHECK_EQ(format(buf, sizeof buf, "%llu", (unsigned long long)0xffffffffffffffffu), 20);
    CHECK_STREQ(buf, "18446744073709551615");
    format(buf, sizeof buf, "%lld", (long long)(-0x7fffffffffffffff - 1));
    CHECK_STREQ(buf, "-9223372036854775808");
    format(buf, sizeof buf, "\\u%04x", 0x1fu);
    CHECK_STREQ(buf, "\\u001f");
    format(buf, sizeof buf, "[%u, %u, %u, %u]", 3u, 273u, 512u, 4294967295u);
    CHECK_STREQ(buf, "[3, 273, 512, 4294967295]");
    format(buf, sizeof buf, "value %d of %s", -7, "x");
    CHECK_STREQ(buf, "value -7 of x");
    format(buf, sizeof buf, "%s", "100%s done");
    CHECK_STREQ(buf, "100%s done");
    format(buf, sizeof buf, "%x %X %08x %-4d| %5s %%", 0xbeefu, 0xbeefu, 0x1234u, 42, "ab");
    CHECK_STREQ(buf, "beef BEEF 00001234 42  |    ab %");
    /* size_t is 32 bits wide here, intmax_t 64. */
    snprintf(buf, sizeof buf, "%zu %c %jd %td", (size_t)4096, 'k', (intmax_t)-5, (ptrdiff_t)-9);
    CHECK_STREQ(buf, "4096 k -5 -9");
}

static void truncated_output(void) {
    char buf[8];
    memset(buf, '#', sizeof buf);
    /* The result is the full length; the buffer holds what fits and a NUL. */
    CHECK_EQ(format(buf, sizeof buf, "register %s", "pmu"), 12);
    CHECK_STREQ(buf, "registe");
    memset(buf, '#', sizeof buf);
    CHECK_EQ(format(buf, 0, "abc"), 3);
    CHECK_EQ(buf[0], '#');
    CHECK_EQ(format(buf, 1, "abc"), 3);
    CHECK_EQ(buf[0], '\0');
    CHECK_EQ(buf[1], '#');
}

static void memory_functions(void) {
    uint8_t a[16];
    for (int i = 0; i < 16; ++i) {
        a[i] = (uint8_t)i;
    }
    memmove(a + 2, a, 10); /* overlapping, forwards */
    CHECK_EQ(a[2], 0);
    CHECK_EQ(a[11], 9);
    CHECK_EQ(a[12], 12);
    memmove(a, a + 4, 8); /* overlapping, backwards */
    CHECK_EQ(a[0], 2);
    CHECK_EQ(a[7], 9);
    memset(a, 0xab, 5);
    CHECK_EQ(a[4], 0xab);
    CHECK_EQ(a[5], 7);
    uint8_t b[16];
    memcpy(b, a, sizeof b);
    CHECK_EQ(memcmp(a, b, sizeof a), 0);
    b[9] = (uint8_t)(b[9] + 1);
    CHECK(memcmp(a, b, sizeof a) < 0);
    CHECK(memcmp(b, a, sizeof a) > 0);
    /* A structure copy, which the compiler may turn into a helper call. */
    HAP_power_request_t r1;
    memset(&r1, 0x5a, sizeof r1);
    r1.type = 7;
    HAP_power_request_t r2 = r1;
    CHECK_EQ(memcmp(&r1, &r2, sizeof r1), 0);
}

/* The DSP's argument layout: 32-bit pointers, 8-byte argument elements holding a buffer pointer
 * and length or a 64-bit handle. */
static void layout_of_the_dsp(void) {
    CHECK_EQ(sizeof(void*), 4u);
    CHECK_EQ(sizeof(size_t), 4u);
    CHECK_EQ(sizeof(remote_arg), 8u);
    CHECK_EQ(offsetof(remote_arg, buf.nLen), 4u);
    CHECK_EQ(_Alignof(uint64_t), 8u);
}

const check_case check_cases[] = {
    {"layout_of_the_dsp", layout_of_the_dsp},
    {"double_division", double_division},
    {"double_division_without_a_value", double_division_without_a_value},
    {"float_division", float_division},
    {"integer_division", integer_division},
    {"formats_of_the_runtime", formats_of_the_runtime},
    {"truncated_output", truncated_output},
    {"memory_functions", memory_functions},
};
const size_t check_case_count = sizeof check_cases / sizeof check_cases[0];
