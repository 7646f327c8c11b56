/* The service on a DSP image without the PMU group functions and without HAP_debug_v2 (but with
 * HAP_debug_runtime): the library still loads and works where it can, and every record goes
 * through HAP_debug, formatted into at most 255 characters. */
#include <stdint.h>

#include "check.h"
#include "fake_hap.h"
#include "kestrel.h"
#include "kestrel_skel.h"
#include "kestrel_skel_impl.h"

static void check_debug_record(const char* text) {
    CHECK_EQ(fake_hap.debug_calls, 1);
    CHECK_STREQ(fake_hap.debug_last.text, text);
    CHECK_EQ(fake_hap.debug_last.level, 0x22);
    CHECK_STREQ(fake_hap.debug_last.file, "kestrel_skel_impl");
    CHECK(fake_hap.debug_last.line > 0);
    CHECK_EQ(fake_hap.debug_runtime_calls, 0);
}

static void the_pmu_functions_are_absent(void) {
    CHECK(__HAP_register_pmu_group == NULL);
    CHECK(__HAP_read_pmu_group == NULL);
    CHECK(__HAP_deregister_pmu_group == NULL);
    CHECK(HAP_debug_v2 == NULL);
    CHECK(HAP_debug_runtime != NULL);
}

static void registration_fails(void) {
    CHECK_EQ(kestrel_skel_handle_invoke(1, KESTREL_SCALARS_PMU_INIT, NULL), -1);
    check_debug_record("register pmu event failure.");
}

static void deregistration_fails(void) {
    CHECK_EQ(kestrel_skel_handle_invoke(1, KESTREL_SCALARS_PMU_DEINIT, NULL), -1);
    check_debug_record("deregister pmu event failure.");
}

static void group_read_fails_after_timer_and_cycles(void) {
    int32_t pkg = -1, hvx = -2, hmx = -3;
    int64_t timer = -4, pcycle = -5;
    fake_hap.utimer = 19200000u;
    fake_hap.upcycle = 123456789u;
    CHECK_EQ(kestrel_get_group_pmt_value(0, &pkg, &hvx, &hmx, &timer, &pcycle), -1);
    CHECK_EQ(timer, 1000000);
    CHECK_EQ(pcycle, 123456789);
    CHECK_EQ(pkg, -1);
    CHECK_EQ(hvx, -2);
    CHECK_EQ(hmx, -3);
    check_debug_record("read pmu event failure.");
}

static void legacy_values_still_work(void) {
    int64_t timer = 0, pcycle = 0;
    fake_hap.utimer = 191;
    fake_hap.upcycle = 0x8000000000000001ull;
    CHECK_EQ(kestrel_get_legacy_perf_value(0, &timer, &pcycle), 0);
    CHECK_EQ(timer, 9);
    CHECK_EQ(pcycle, 0x8000000000000001ull);
    CHECK_EQ(fake_hap.debug_calls, 0);
}

static void long_messages_are_truncated_to_255_characters(void) {
    char text[300];
    for (int i = 0; i < 299; ++i) {
        text[i] = (char)('a' + i % 26);
    }
    text[299] = '\0';

    service_log(9, "%s", text);
    CHECK_EQ(check_str_len(fake_hap.debug_last.text), 255);
    text[255] = '\0';
    CHECK_STREQ(fake_hap.debug_last.text, text);

    /* Exactly 255 characters fit; 256 lose the last one. */
    service_log(9, "%s", text);
    CHECK_STREQ(fake_hap.debug_last.text, text);
    text[255] = 'X';
    text[256] = '\0';
    service_log(9, "%s", text);
    CHECK_EQ(check_str_len(fake_hap.debug_last.text), 255);
    CHECK_EQ(fake_hap.debug_last.text[254], text[254]);

    /* Arguments are formatted. */
    service_log(10, "%d-%s", 42, "z");
    CHECK_STREQ(fake_hap.debug_last.text, "42-z");
    CHECK_EQ(fake_hap.debug_last.line, 10);
}

const check_case check_cases[] = {
    {"the_pmu_functions_are_absent", the_pmu_functions_are_absent},
    {"registration_fails", registration_fails},
    {"deregistration_fails", deregistration_fails},
    {"group_read_fails_after_timer_and_cycles", group_read_fails_after_timer_and_cycles},
    {"legacy_values_still_work", legacy_values_still_work},
    {"long_messages_are_truncated_to_255_characters",
     long_messages_are_truncated_to_255_characters},
};
const size_t check_case_count = sizeof check_cases / sizeof check_cases[0];
