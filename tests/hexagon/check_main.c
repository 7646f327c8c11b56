/* Runner of the plain C test cases (tests/support/check.h) as a freestanding Hexagon program under
 * qemu-hexagon: runs every case of the program's table, prints each failed check and one line
 * per case, then a summary, and exits with 1 when any check failed. */
#include <stdint.h>

#include "check.h"
#include "hx_sys.h"

static uint32_t case_failures;

void check_fail(const char* file, int line, const char* expr, uint64_t actual, uint64_t expected) {
    ++case_failures;
    hx_printf(1, "%s:%d: check failed: %s\n  actual:   %llu (0x%llx)\n  expected: %llu (0x%llx)\n",
              file, line, expr, (unsigned long long)actual, (unsigned long long)actual,
              (unsigned long long)expected, (unsigned long long)expected);
}

void check_fail_str(const char* file, int line, const char* expr, const char* actual,
                    const char* expected) {
    ++case_failures;
    hx_printf(1, "%s:%d: check failed: %s\n  actual:   \"%s\"\n  expected: \"%s\"\n", file, line,
              expr, actual != NULL ? actual : "(null)", expected != NULL ? expected : "(null)");
}

int main(int argc, char** argv) {
    uint32_t failed = 0;
    (void)argc;
    (void)argv;
    for (size_t i = 0; i < check_case_count; ++i) {
        case_failures = 0;
        check_case_setup();
        check_cases[i].run();
        hx_printf(1, "[%s] %s\n", case_failures == 0 ? "  OK  " : " FAIL ", check_cases[i].name);
        if (case_failures != 0) {
            ++failed;
        }
    }
    hx_printf(1, "%u of %u cases failed\n", failed, (unsigned)check_case_count);
    return failed == 0 ? 0 : 1;
}
