// The sampling thread of one compute-DSP core: opens a session on it with the monitor's session
// client, samples window after window into the core's state, and on any failure closes the
// session and opens it again after a backoff, until the stop is requested.
#pragma once

#include <cstdint>
#include <functional>

#include "cpu/exporter/core_state.h"
#include "cpu/soc_rules.h"

namespace vorlix::kestrel::exporter {

struct SamplerConfig {
    CoreTarget target;
    bool legacy = false;               // sample without the PMU group (legacy SoCs)
    std::uint32_t sample_time = 1000;  // sampling window, milliseconds
    bool once = false;                 // one attempt and at most one sample, no reopening
};

class CoreSampler {
  public:
    // `on_sample` runs on this thread after each complete sample (may be empty).
    CoreSampler(SamplerConfig config, CoreState& state, const StopSignal& stop,
                std::function<void()> on_sample);

    // The thread's body. Returns once the stop is requested (after the window in progress) or,
    // in once mode, after its one sample or failure; the session is closed and the PMU group
    // released by then.
    void run();

  private:
    SamplerConfig config_;
    CoreState& state_;
    const StopSignal& stop_;
    std::function<void()> on_sample_;
};

}  // namespace vorlix::kestrel::exporter
