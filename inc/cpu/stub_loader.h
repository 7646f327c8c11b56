// The monitor's client of the remote interface: loads libkestrel.so at run time, opens a session
// on a compute DSP, registers the PMU event group there and takes raw samples.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "fastrpc/remote_types.h"
#include "kestrel.h"

namespace vorlix::kestrel {

// Signatures of the stub library's exports and the module URI, as the remote interface
// declares them.
using kestrel_open_fn = decltype(&::kestrel_open);
using kestrel_close_fn = decltype(&::kestrel_close);
using kestrel_get_group_pmt_value_fn = decltype(&::kestrel_get_group_pmt_value);
using kestrel_get_legacy_perf_value_fn = decltype(&::kestrel_get_legacy_perf_value);
using kestrel_get_dsp_current_freq_fn = decltype(&::kestrel_get_dsp_current_freq);
using kestrel_pmu_init_fn = decltype(&::kestrel_pmu_init);
using kestrel_pmu_deinit_fn = decltype(&::kestrel_pmu_deinit);

// Prefix of the module URI; the FastRPC domain name follows "_dom=".
inline constexpr const char* kKestrelModuleUri = KESTREL_URI;

class KestrelStub {
  public:
    KestrelStub() = default;
    ~KestrelStub();
    KestrelStub(const KestrelStub&) = delete;
    KestrelStub& operator=(const KestrelStub&) = delete;

    // Loads the stub library and its seven functions; stores the architecture version.
    bool init(const std::string& lib_name, int domain_id, int dsp_arch);
    // Opens the session on `domain_name` and, when `init_pmu`, registers the PMU group.
    int sample_initialize(bool init_pmu, const std::string& domain_name);
    // One sample: two group readings `sample_time_ms` apart, then the clock.
    int sample_register(unsigned long sample_time_ms);
    // One sample on DSPs without the PMU group: timer and cycles only, then the clock.
    int sample_register_legacy(unsigned long sample_time_ms);
    // Releases the PMU group (when asked and registered; a failed release is tried once more)
    // and closes the session. -1 when the close failed or the group is still registered.
    int sample_finalize(bool deinit_pmu);

    // When set, waits out the sampling window in place of the sleep, so that the session's owner
    // can end a window early: called with the window's length, true when the whole window
    // passed. A window ended early ends the sample there: no further reading, nothing stored,
    // nothing printed, -1.
    std::function<bool(unsigned long sample_time_ms)> wait_window;

    // Library and session state.
    void* lib_handle = nullptr;
    remote_handle64 handle = 0;
    bool is_open = false;
    bool is_pmu_init = false;

    kestrel_open_fn open_fn = nullptr;
    kestrel_close_fn close_fn = nullptr;
    kestrel_get_group_pmt_value_fn get_group_pmt_value_fn = nullptr;
    kestrel_get_legacy_perf_value_fn get_legacy_perf_value_fn = nullptr;
    kestrel_get_dsp_current_freq_fn get_dsp_current_freq_fn = nullptr;
    kestrel_pmu_init_fn pmu_init_fn = nullptr;
    kestrel_pmu_deinit_fn pmu_deinit_fn = nullptr;

    // The last successful sample.
    float measured_time_ms = 0.0f;
    float processor_cycles = 0.0f;
    float committed_packets = 0.0f;
    float hvx_packets = 0.0f;
    float hmx_active_cycles = 0.0f;
    float dsp_freq_hz = 0.0f;
    float hmx_freq_hz = 0.0f;
    int dsp_arch = 0;

    // Why the last failure happened: the remote result of the call that failed last (0 when none
    // did), and the loader's text when the library or one of its functions could not be loaded.
    int last_error = 0;
    std::string load_error;

  private:
    // Prints the failed remote call with its result and keeps the result.
    void remote_failure(const char* call, int result);
    // The window between the two readings: the owner's wait when set, else the sleep. -1 when
    // the owner ended it early or the sleep failed.
    int pass_window(unsigned long sample_time_ms);
    // Sleeps for the sampling window; an interrupting signal only shortens it. -1 on any other
    // failure of the sleep.
    static int sleep_window(unsigned long sample_time_ms);
    int read_clock(uint32_t* freq, uint32_t* hmx_freq);
    // Stores the window's timer and cycle differences and the clock, common to both paths.
    void store_window(int64_t timer1, int64_t timer2, int64_t pcycle1, int64_t pcycle2,
                      uint32_t freq, uint32_t hmx_freq);
};

}  // namespace vorlix::kestrel
