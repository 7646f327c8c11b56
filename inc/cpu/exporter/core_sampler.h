// The sampling thread of one compute-DSP core, as the exporter runs it: the sampling core's loop
// (cpu/sampling) with the core's state as what it reports to. The log has one line when the core
// goes down (the step that failed, the platform's code and its meaning) and one when it is back
// (after how long and how many attempts), not a line per attempt.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "cpu/exporter/core_state.h"
#include "cpu/sampling/sampler.h"

namespace vorlix::kestrel::exporter {

class CoreSampler : public SamplerObserver {
  public:
    // `on_sample` runs on the sampling thread after each complete sample (may be empty).
    CoreSampler(SamplerConfig config, CoreState& state, const StopSignal& stop,
                std::function<void()> on_sample);

    // The thread's body (run_sampler). Returns as soon as the stop is requested (a window in
    // progress ends there) or, in once mode, after its one sample or failure; the session is
    // closed and the PMU group released by then.
    void run();

    void session_opened() override;
    void sample_taken(const Sample& sample) override;
    void session_failed(const SessionFailure& failure,
                        std::chrono::milliseconds reopen_in) override;

  private:
    SamplerConfig config_;
    CoreState& state_;
    const StopSignal& stop_;
    std::function<void()> on_sample_;
    // While the core is down: since when, and the attempts to reopen it that failed.
    bool down_ = false;
    std::chrono::steady_clock::time_point down_since_;
    unsigned failed_attempts_ = 0;
};

}  // namespace vorlix::kestrel::exporter
