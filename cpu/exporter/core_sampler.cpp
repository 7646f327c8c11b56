// The sampling thread of one compute-DSP core.
#include "cpu/exporter/core_sampler.h"

#include <cstdio>
#include <utility>

#include "cpu/exporter/log.h"

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
    if (down_) {
        down_ = false;
        const std::chrono::duration<double> down = std::chrono::steady_clock::now() - down_since_;
        char took[32];
        std::snprintf(took, sizeof took, "%.1f", down.count());
        log_line(LogLevel::kInfo, config_.target.domain_name + " is back after " + took +
                                      " s and " + std::to_string(failed_attempts_ + 1) +
                                      " attempt(s)");
    }
    if (on_sample_) {
        on_sample_();
    }
}

void CoreSampler::session_failed(const SessionFailure& failure,
                                 std::chrono::milliseconds reopen_in) {
    state_.failed();
    if (down_) {
        ++failed_attempts_;
        return;
    }
    down_ = true;
    down_since_ = std::chrono::steady_clock::now();
    failed_attempts_ = 0;
    log_line(
        LogLevel::kWarn,
        config_.target.domain_name + " is down: " + failure.describe() +
            (reopen_in.count() > 0
                 ? "; reopened after a pause of " + std::to_string(Backoff::kFirst.count() / 1000) +
                       " s, doubling up to " + std::to_string(Backoff::kLongest.count() / 1000) +
                       " s, or as soon as its remote processor runs again"
                 : std::string()));
}

}  // namespace vorlix::kestrel::exporter
