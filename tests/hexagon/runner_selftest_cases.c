/* Cases for checking the runner itself: one passes and one fails, so the program must report
 * exactly one failed case and end with a failure status. */
#include "check.h"

void check_case_setup(void) {}

static void passes(void) {
    CHECK_EQ(2 + 2, 4);
    CHECK_STREQ("dsp", "dsp");
}

static void fails(void) {
    CHECK_EQ(2 + 2, 5);
}

const check_case check_cases[] = {
    {"passes", passes},
    {"fails", fails},
};
const size_t check_case_count = sizeof check_cases / sizeof check_cases[0];
