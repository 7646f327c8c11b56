/* Test double of libkestrel.so. Defining FAKE_STUB_WITHOUT_<function> leaves that interface
 * function out (e.g. FAKE_STUB_WITHOUT_kestrel_pmu_deinit); by default all seven are there. */
#include "fake_stub.h"

#include <string.h>

static fake_stub_state state;

fake_stub_state* fake_stub_state_get(void);
fake_stub_state* fake_stub_state_get(void) {
    return &state;
}

static const fake_stub_reading* next_reading(int call) {
    int n = state.reading_count > 0 ? state.reading_count : 1;
    return &state.readings[call < n ? call : n - 1];
}

#ifndef FAKE_STUB_WITHOUT_kestrel_open
int kestrel_open(const char* uri, remote_handle64* h);
int kestrel_open(const char* uri, remote_handle64* h) {
    state.open_calls++;
    strncpy(state.last_uri, uri, sizeof(state.last_uri) - 1);
    if (state.open_result == 0) {
        *h = state.open_handle;
    }
    return state.open_result;
}
#endif

#ifndef FAKE_STUB_WITHOUT_kestrel_close
int kestrel_close(remote_handle64 h);
int kestrel_close(remote_handle64 h) {
    state.close_calls++;
    state.last_closed = h;
    return state.close_result;
}
#endif

#ifndef FAKE_STUB_WITHOUT_kestrel_get_group_pmt_value
int kestrel_get_group_pmt_value(remote_handle64 h, int32_t* pkg, int32_t* hvx, int32_t* hmx,
                                int64_t* timer_us, int64_t* pcycle);
int kestrel_get_group_pmt_value(remote_handle64 h, int32_t* pkg, int32_t* hvx, int32_t* hmx,
                                int64_t* timer_us, int64_t* pcycle) {
    (void)h;
    const fake_stub_reading* r = next_reading(state.group_calls++);
    if (r->result == 0) {
        *pkg = r->pkg;
        *hvx = r->hvx;
        *hmx = r->hmx;
        *timer_us = r->timer_us;
        *pcycle = r->pcycle;
    }
    return r->result;
}
#endif

#ifndef FAKE_STUB_WITHOUT_kestrel_get_legacy_perf_value
int kestrel_get_legacy_perf_value(remote_handle64 h, int64_t* timer_us, int64_t* pcycle);
int kestrel_get_legacy_perf_value(remote_handle64 h, int64_t* timer_us, int64_t* pcycle) {
    (void)h;
    const fake_stub_reading* r = next_reading(state.legacy_calls++);
    if (r->result == 0) {
        *timer_us = r->timer_us;
        *pcycle = r->pcycle;
    }
    return r->result;
}
#endif

#ifndef FAKE_STUB_WITHOUT_kestrel_get_dsp_current_freq
int kestrel_get_dsp_current_freq(remote_handle64 h, int32_t* freq, int32_t* hmx_freq);
int kestrel_get_dsp_current_freq(remote_handle64 h, int32_t* freq, int32_t* hmx_freq) {
    (void)h;
    state.freq_calls++;
    if (state.freq_result == 0) {
        *freq = state.freq;
        *hmx_freq = state.hmx_freq;
    }
    return state.freq_result;
}
#endif

#ifndef FAKE_STUB_WITHOUT_kestrel_pmu_init
int kestrel_pmu_init(remote_handle64 h);
int kestrel_pmu_init(remote_handle64 h) {
    state.pmu_init_calls++;
    state.last_pmu_handle = h;
    return state.pmu_init_result;
}
#endif

#ifndef FAKE_STUB_WITHOUT_kestrel_pmu_deinit
int kestrel_pmu_deinit(remote_handle64 h);
int kestrel_pmu_deinit(remote_handle64 h) {
    int call = state.pmu_deinit_calls++;
    state.last_pmu_handle = h;
    if (state.pmu_deinit_failures > 0 && call >= state.pmu_deinit_failures) {
        return 0;
    }
    return state.pmu_deinit_result;
}
#endif
