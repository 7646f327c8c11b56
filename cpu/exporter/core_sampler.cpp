// The sampling thread of one compute-DSP core.
#include "cpu/exporter/core_sampler.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <utility>

#include "cpu/data_analyzer.h"
#include "cpu/dsp_utils.h"

namespace vorlix::kestrel::exporter {

namespace {

// The stub library of the remote interface, loaded by name as kestrel loads it.
constexpr const char* kStubLibrary = "libkestrel.so";

double seconds_since_epoch() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// An analyzer whose session client has loaded the stub library and opened the session (and,
// outside legacy mode, registered the PMU group); null after a failure, which the session
// client has printed. Destroying it releases the group, closes the session and unloads the
// library.
std::unique_ptr<DataAnalyzer> open_session(const SamplerConfig& config) {
    auto analyzer = std::make_unique<DataAnalyzer>();
    KestrelStub& stub = analyzer->GetDspStub();
    const CoreTarget& target = config.target;
    if (!stub.init(kStubLibrary, static_cast<int>(target.domain_id),
                   static_cast<int>(target.arch))) {
        return nullptr;
    }
    if (target.unsigned_pd &&
        DspUtils::try_enable_unsigned_pd(static_cast<int>(target.domain_id)) < 0) {
        return nullptr;
    }
    if (stub.sample_initialize(!config.legacy, target.domain_name) < 0) {
        return nullptr;
    }
    return analyzer;
}

// One sampling window; the figures, or false after a failure (printed by the session client).
bool take_sample(DataAnalyzer& analyzer, const SamplerConfig& config, CoreFigures* figures) {
    KestrelStub& stub = analyzer.GetDspStub();
    const int result = config.legacy ? stub.sample_register_legacy(config.sample_time)
                                     : stub.sample_register(config.sample_time);
    if (result < 0) {
        return false;
    }
    analyzer.analyze();
    figures->qdsp6 = analyzer.qdsp6_utilization / 100.0f;
    figures->hvx = analyzer.hvx_utilization / 100.0f;
    figures->hmx = analyzer.hmx_utilization / 100.0f;
    figures->clock_hz = stub.dsp_freq_hz;
    return true;
}

}  // namespace

CoreSampler::CoreSampler(SamplerConfig config, CoreState& state, const StopSignal& stop,
                         std::function<void()> on_sample)
    : config_(std::move(config)), state_(state), stop_(stop), on_sample_(std::move(on_sample)) {}

void CoreSampler::run() {
    const std::string& name = config_.target.domain_name;
    Backoff backoff;
    while (!stop_.requested()) {
        std::unique_ptr<DataAnalyzer> analyzer = open_session(config_);
        if (analyzer) {
            state_.session_opened();
            CoreFigures figures;
            while (!stop_.requested() && take_sample(*analyzer, config_, &figures)) {
                state_.sample_taken(figures, seconds_since_epoch());
                backoff.reset();
                if (on_sample_) {
                    on_sample_();
                }
                if (config_.once) {
                    return;
                }
            }
            if (stop_.requested()) {
                return;
            }
        }
        // The session failed: it is closed (as far as the platform still allows) before the
        // pause, so that its PMU group is not held while the core is down.
        analyzer.reset();
        state_.failed();
        if (config_.once) {
            return;
        }
        const std::chrono::milliseconds pause = backoff.next();
        std::fprintf(stderr, "[WARN ] [EXPORTER] %s: session failed, reopening in %lld ms\n",
                     name.c_str(), static_cast<long long>(pause.count()));
        if (stop_.wait_for(pause)) {
            return;
        }
    }
}

}  // namespace vorlix::kestrel::exporter
