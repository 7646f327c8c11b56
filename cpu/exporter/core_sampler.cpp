// The sampling thread of one compute-DSP core.
#include "cpu/exporter/core_sampler.h"

#include <cstdio>
#include <utility>

namespace vorlix::kestrel::exporter {

CoreSampler::CoreSampler(SamplerConfig config, CoreState& state, const StopSignal& stop,
                         std::function<void()> on_sample)
    : config_(std::move(config)), state_(state), stop_(stop), on_sample_(std::move(on_sample)) {}

void CoreSampler::run() {
    run_sampler(config_, *this, stop_);
}

void CoreSampler::session_opened() {
    state_.session_opened();
}

void CoreSampler::sample_taken(const Sample& sample) {
    // The exposition gives utilisations as ratios.
    CoreFigures figures;
    figures.qdsp6 = sample.qdsp6 / 100.0f;
    figures.hvx = sample.hvx / 100.0f;
    figures.hmx = sample.hmx / 100.0f;
    figures.clock_hz = sample.clock_hz;
    state_.sample_taken(figures, sample.timestamp);
    if (on_sample_) {
        on_sample_();
    }
}

void CoreSampler::session_failed(const SessionFailure& /*failure*/,
                                 std::chrono::milliseconds reopen_in) {
    state_.failed();
    if (reopen_in.count() > 0) {
        std::fprintf(stderr, "[WARN ] [EXPORTER] %s: session failed, reopening in %lld ms\n",
                     config_.target.domain_name.c_str(), static_cast<long long>(reopen_in.count()));
    }
}

}  // namespace vorlix::kestrel::exporter
