/* A test double of libkestrel.so: the seven interface functions answer from a state record that
 * the test program reaches with dlsym("fake_stub_state"). Built once complete and once per
 * function with that function left out. */
#ifndef KESTREL_TESTS_FAKE_STUB_H
#define KESTREL_TESTS_FAKE_STUB_H

#include <stdint.h>

#include "fastrpc/remote_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One counter reading of the group or legacy call. */
typedef struct fake_stub_reading {
    int result;
    int32_t pkg, hvx, hmx;
    int64_t timer_us, pcycle;
} fake_stub_reading;

typedef struct fake_stub_state {
    int open_result;
    remote_handle64 open_handle; /* written through the handle pointer on success */
    char last_uri[256];
    int open_calls;

    int close_result;
    remote_handle64 last_closed;
    int close_calls;

    int pmu_init_result;
    int pmu_init_calls;
    int pmu_deinit_result;
    int pmu_deinit_failures; /* calls that answer pmu_deinit_result before 0; 0 = every call */
    int pmu_deinit_calls;
    remote_handle64 last_pmu_handle;

    /* Readings served in turn; the last one repeats. */
    fake_stub_reading readings[4];
    int reading_count;
    int group_calls;
    int legacy_calls;

    int freq_result;
    int32_t freq, hmx_freq;
    int freq_calls;
} fake_stub_state;

typedef fake_stub_state* (*fake_stub_state_fn)(void); /* "fake_stub_state_get" */

#ifdef __cplusplus
}
#endif

#endif
