// Host runner of the plain C test cases: each entry of the program's case table becomes one
// GoogleTest test, and every failed check becomes a non-fatal GoogleTest failure.
#include <gtest/gtest.h>

#include <cinttypes>
#include <string>

#include "check.h"

extern "C" void check_fail(const char* file, int line, const char* expr, uint64_t actual,
                           uint64_t expected) {
    ADD_FAILURE_AT(file, line) << expr << "\n  actual:   " << actual << " (0x" << std::hex << actual
                               << ")\n  expected: " << std::dec << expected << " (0x" << std::hex
                               << expected << ")";
}

extern "C" void check_fail_str(const char* file, int line, const char* expr, const char* actual,
                               const char* expected) {
    ADD_FAILURE_AT(file, line) << expr << "\n  actual:   \"" << (actual ? actual : "(null)")
                               << "\"\n  expected: \"" << (expected ? expected : "(null)") << "\"";
}

namespace {

class Case : public testing::TestWithParam<size_t> {};

TEST_P(Case, Passes) {
    check_case_setup();
    check_cases[GetParam()].run();
}

std::string case_name(const testing::TestParamInfo<size_t>& info) {
    return check_cases[info.param].name;
}

INSTANTIATE_TEST_SUITE_P(Dsp, Case, testing::Range<size_t>(0, check_case_count), case_name);

}  // namespace
