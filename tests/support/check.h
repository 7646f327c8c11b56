/* A tiny assertion layer for test cases written in plain freestanding C, so that the same cases
 * run on the host (through GoogleTest) and as a freestanding Hexagon program. A program defines
 * its case table; the runner calls check_case_setup() before each case and reports failures
 * passed to check_fail(). */
#ifndef KESTREL_TESTS_SUPPORT_CHECK_H
#define KESTREL_TESTS_SUPPORT_CHECK_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct check_case {
    const char* name;
    void (*run)(void);
} check_case;

/* Defined by each test program. */
extern const check_case check_cases[];
extern const size_t check_case_count;

/* Defined by the runner. */
void check_fail(const char* file, int line, const char* expr, uint64_t actual, uint64_t expected);
void check_fail_str(const char* file, int line, const char* expr, const char* actual,
                    const char* expected);

/* Defined by the fake DSP runtime (or by a program without it): resets every recorded call and
 * every configured answer. */
void check_case_setup(void);

/* Compares two NUL-terminated strings; a null pointer equals only a null pointer. */
static inline int check_str_equal(const char* a, const char* b) {
    if (a == NULL || b == NULL) {
        return a == b;
    }
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

static inline size_t check_str_len(const char* s) {
    size_t n = 0;
    while (s[n] != '\0') {
        ++n;
    }
    return n;
}

#define CHECK(cond)                                        \
    do {                                                   \
        if (!(cond)) {                                     \
            check_fail(__FILE__, __LINE__, #cond, 0u, 1u); \
        }                                                  \
    } while (0)

/* Compares as unsigned 64-bit values (signed values are compared by their bits). */
#define CHECK_EQ(actual, expected)                                                        \
    do {                                                                                  \
        uint64_t check_a_ = (uint64_t)(actual);                                           \
        uint64_t check_e_ = (uint64_t)(expected);                                         \
        if (check_a_ != check_e_) {                                                       \
            check_fail(__FILE__, __LINE__, #actual " == " #expected, check_a_, check_e_); \
        }                                                                                 \
    } while (0)

#define CHECK_STREQ(actual, expected)                                                         \
    do {                                                                                      \
        const char* check_a_ = (actual);                                                      \
        const char* check_e_ = (expected);                                                    \
        if (!check_str_equal(check_a_, check_e_)) {                                           \
            check_fail_str(__FILE__, __LINE__, #actual " == " #expected, check_a_, check_e_); \
        }                                                                                     \
    } while (0)

#ifdef __cplusplus
}
#endif

#endif
