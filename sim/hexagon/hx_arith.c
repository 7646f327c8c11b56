/* Arithmetic helpers that clang calls on Hexagon, which has no integer or floating-point divide
 * instruction: 32- and 64-bit integer division and remainder, and double division (the DSP
 * runtime's load model divides doubles). Written with shifts and subtractions only, so that
 * none of them calls back into a helper. */
#include <stdint.h>

uint32_t __hexagon_udivsi3(uint32_t a, uint32_t b);
uint32_t __hexagon_umodsi3(uint32_t a, uint32_t b);
int32_t __hexagon_divsi3(int32_t a, int32_t b);
int32_t __hexagon_modsi3(int32_t a, int32_t b);
uint64_t __hexagon_udivdi3(uint64_t a, uint64_t b);
uint64_t __hexagon_umoddi3(uint64_t a, uint64_t b);
int64_t __hexagon_divdi3(int64_t a, int64_t b);
int64_t __hexagon_moddi3(int64_t a, int64_t b);
double __hexagon_divdf3(double a, double b);
float __hexagon_divsf3(float a, float b);

/* Unsigned long division; division by zero gives an all-ones quotient and the dividend as the
 * remainder instead of trapping. */
static uint64_t udivmod64(uint64_t n, uint64_t d, uint64_t* rem) {
    uint64_t q = 0;
    uint64_t r = 0;
    if (d == 0) {
        *rem = n;
        return ~(uint64_t)0;
    }
    if (n < d) {
        *rem = n;
        return 0;
    }
    int bit = 63;
    while (((n >> bit) & 1u) == 0) {
        --bit;
    }
    for (; bit >= 0; --bit) {
        r = (r << 1) | ((n >> bit) & 1u);
        q <<= 1;
        if (r >= d) {
            r -= d;
            q |= 1u;
        }
    }
    *rem = r;
    return q;
}

static uint64_t magnitude(int64_t v) {
    return v < 0 ? (uint64_t)0 - (uint64_t)v : (uint64_t)v;
}

uint64_t __hexagon_udivdi3(uint64_t a, uint64_t b) {
    uint64_t r;
    return udivmod64(a, b, &r);
}

uint64_t __hexagon_umoddi3(uint64_t a, uint64_t b) {
    uint64_t r;
    udivmod64(a, b, &r);
    return r;
}

int64_t __hexagon_divdi3(int64_t a, int64_t b) {
    uint64_t r;
    const uint64_t q = udivmod64(magnitude(a), magnitude(b), &r);
    return (a < 0) != (b < 0) ? (int64_t)((uint64_t)0 - q) : (int64_t)q;
}

int64_t __hexagon_moddi3(int64_t a, int64_t b) {
    uint64_t r;
    udivmod64(magnitude(a), magnitude(b), &r);
    return a < 0 ? (int64_t)((uint64_t)0 - r) : (int64_t)r;
}

uint32_t __hexagon_udivsi3(uint32_t a, uint32_t b) {
    return (uint32_t)__hexagon_udivdi3(a, b);
}

uint32_t __hexagon_umodsi3(uint32_t a, uint32_t b) {
    return (uint32_t)__hexagon_umoddi3(a, b);
}

int32_t __hexagon_divsi3(int32_t a, int32_t b) {
    return (int32_t)__hexagon_divdi3(a, b);
}

int32_t __hexagon_modsi3(int32_t a, int32_t b) {
    return (int32_t)__hexagon_moddi3(a, b);
}

/* ---- IEEE 754 division, round to nearest even ---------------------------------------------- */

/* Generic binary division of two finite or special values of a format with `frac_bits`
 * fraction bits and `exp_bits` exponent bits, given and returned as bit patterns. */
static uint64_t ieee_div(uint64_t a, uint64_t b, int frac_bits, int exp_bits) {
    const int total = frac_bits + exp_bits;
    const uint64_t sign_bit = (uint64_t)1 << total;
    const uint64_t implicit = (uint64_t)1 << frac_bits;
    const uint64_t frac_mask = implicit - 1u;
    const int64_t exp_max = ((int64_t)1 << exp_bits) - 1;
    const int64_t bias = exp_max >> 1;
    const uint64_t inf = (uint64_t)exp_max << frac_bits;
    const uint64_t quiet_nan = inf | (implicit >> 1);

    const uint64_t sign = (a ^ b) & sign_bit;
    int64_t ea = (int64_t)((a >> frac_bits) & (uint64_t)exp_max);
    int64_t eb = (int64_t)((b >> frac_bits) & (uint64_t)exp_max);
    uint64_t ma = a & frac_mask;
    uint64_t mb = b & frac_mask;

    if (ea == exp_max && ma != 0) {
        return a | (implicit >> 1);
    }
    if (eb == exp_max && mb != 0) {
        return b | (implicit >> 1);
    }
    if (ea == exp_max) {
        return eb == exp_max ? quiet_nan : sign | inf;
    }
    if (eb == exp_max) {
        return sign;
    }
    if (eb == 0 && mb == 0) {
        return ea == 0 && ma == 0 ? quiet_nan : sign | inf;
    }
    if (ea == 0 && ma == 0) {
        return sign;
    }
    /* Normalise: significands with the leading 1 at bit frac_bits. */
    if (ea == 0) {
        ea = 1;
        while ((ma & implicit) == 0) {
            ma <<= 1;
            --ea;
        }
    } else {
        ma |= implicit;
    }
    if (eb == 0) {
        eb = 1;
        while ((mb & implicit) == 0) {
            mb <<= 1;
            --eb;
        }
    } else {
        mb |= implicit;
    }
    int64_t e = ea - eb + bias;
    if (ma < mb) {
        ma <<= 1;
        --e;
    }
    /* ma / mb is in [1, 2): frac_bits + 1 quotient bits, then a guard and a round bit. */
    uint64_t q = 0;
    uint64_t r = ma;
    for (int i = 0; i < frac_bits + 3; ++i) {
        q <<= 1;
        if (r >= mb) {
            r -= mb;
            q |= 1u;
        }
        r <<= 1;
    }
    int sticky = r != 0;
    int64_t field = e - 1; /* the implicit bit of the significand adds the 1 back */
    if (e <= 0) {
        /* Subnormal result: shift out 1 - e more bits into the sticky bit. */
        const int64_t shift = 1 - e;
        if (shift > frac_bits + 3) {
            sticky = sticky || q != 0;
            q = 0;
        } else {
            sticky = sticky || (q & (((uint64_t)1 << shift) - 1u)) != 0;
            q >>= shift;
        }
        field = 0;
    }
    uint64_t mant = q >> 2;
    const int half = (q >> 1) & 1u;
    const int below = (q & 1u) || sticky;
    if (half && (below || (mant & 1u))) {
        ++mant;
    }
    const uint64_t magnitude_bits = ((uint64_t)field << frac_bits) + mant;
    if (field >= exp_max || magnitude_bits >= inf) {
        return sign | inf;
    }
    return sign | magnitude_bits;
}

double __hexagon_divdf3(double a, double b) {
    union {
        double d;
        uint64_t u;
    } x = {a}, y = {b}, z;
    z.u = ieee_div(x.u, y.u, 52, 11);
    return z.d;
}

float __hexagon_divsf3(float a, float b) {
    union {
        float f;
        uint32_t u;
    } x = {a}, y = {b}, z;
    z.u = (uint32_t)ieee_div(x.u, y.u, 23, 8);
    return z.f;
}
