/* The service on a DSP image with HAP_debug_v2 but without HAP_debug_runtime: records are
 * dropped, and failures are still reported through the results. */
#include <stdint.h>

#include "check.h"
#include "fake_hap.h"
#include "kestrel.h"
#include "kestrel_skel_impl.h"

static void logging_functions_as_expected(void) {
    CHECK(HAP_debug_v2 != NULL);
    CHECK(HAP_debug_runtime == NULL);
}

static void failures_log_nothing(void) {
    int32_t dsp = 0, hmx = 0;
    fake_hap.pmu_register_result = 1;
    CHECK_EQ(kestrel_pmu_init(0), -1);
    fake_hap.power_set_result = -3;
    CHECK_EQ(kestrel_get_dsp_current_freq(0, &dsp, &hmx), -1);
    service_log(1, "direct");
    CHECK_EQ(fake_hap.debug_calls, 0);
    CHECK_EQ(fake_hap.debug_v2_calls, 0);
}

const check_case check_cases[] = {
    {"logging_functions_as_expected", logging_functions_as_expected},
    {"failures_log_nothing", failures_log_nothing},
};
const size_t check_case_count = sizeof check_cases / sizeof check_cases[0];
