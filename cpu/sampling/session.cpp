// A sampling session on one compute-DSP core.
#include "cpu/sampling/session.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <utility>

#include "cpu/sampling/clock.h"
#include "cpu/sampling/platform_error.h"
#include "cpu/sampling/sampler.h"

namespace vorlix::kestrel {

namespace {

float busy_or_idle(float percent) {
    return std::isnan(percent) ? 0.0f : percent;
}

}  // namespace

bool load_stub(KestrelStub& stub, const CoreTarget& target) {
    return stub.init(kStubLibrary, static_cast<int>(target.domain_id),
                     static_cast<int>(target.arch));
}

bool enable_unsigned_pd(std::uint32_t domain_id, int* result) {
    int ignored = 0;
    return DspUtils::try_enable_unsigned_pd(static_cast<int>(domain_id),
                                            result != nullptr ? result : &ignored) == 0;
}

bool open_session(KestrelStub& stub, const CoreTarget& target, bool legacy) {
    return stub.sample_initialize(!legacy, target.domain_name) == 0;
}

bool sample_window(DataAnalyzer& analyzer, bool legacy, std::uint32_t window_ms) {
    KestrelStub& stub = analyzer.GetDspStub();
    const int result =
        legacy ? stub.sample_register_legacy(window_ms) : stub.sample_register(window_ms);
    if (result < 0) {
        return false;
    }
    analyzer.analyze();
    return true;
}

bool close_session(KestrelStub& stub, bool legacy) {
    return stub.sample_finalize(!legacy) == 0;
}

const char* step_name(SessionStep step) {
    switch (step) {
        case SessionStep::kNone:
            return "none";
        case SessionStep::kLoad:
            return "load";
        case SessionStep::kUnsignedPd:
            return "unsigned PD";
        case SessionStep::kOpen:
            return "open";
        case SessionStep::kRegister:
            return "PMU group";
        case SessionStep::kSample:
            return "sample";
        case SessionStep::kClose:
            return "close";
    }
    return "?";
}

std::string SessionFailure::describe() const {
    std::string text = std::string(step_name(step)) + " failed";
    if (!detail.empty()) {
        return text + ": " + detail;
    }
    if (code != 0) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%x", static_cast<unsigned>(code));
        const char* meaning = platform_error_meaning(code);
        text +=
            std::string(" (") + hex + (meaning != nullptr ? std::string(": ") + meaning : "") + ")";
    }
    return text;
}

CoreSession::CoreSession(CoreTarget target, bool legacy, const StopSignal* stop, bool short_window)
    : target_(std::move(target)), legacy_(legacy), stop_(stop), short_window_(short_window) {}

CoreSession::~CoreSession() {
    close();
}

bool CoreSession::is_open() const {
    return analyzer_ != nullptr && analyzer_->GetDspStub().is_open;
}

bool CoreSession::fail(SessionStep step) {
    failure_.step = step;
    if (analyzer_ != nullptr) {
        const KestrelStub& stub = analyzer_->GetDspStub();
        failure_.code = stub.last_error;
        failure_.detail = step == SessionStep::kLoad ? stub.load_error : std::string();
    }
    return false;
}

bool CoreSession::open() {
    close();
    failure_ = SessionFailure{};
    analyzer_ = std::make_unique<DataAnalyzer>();
    KestrelStub& stub = analyzer_->GetDspStub();
    if (stop_ != nullptr) {
        // The window is waited on the stop request, so that a stop ends it at once and the
        // session is closed without a signal landing in a remote call. A short window is then
        // read all the same when the owner wants it.
        stub.wait_window = [this](unsigned long sample_time_ms) {
            if (window_started) {
                window_started();
            }
            return !stop_->wait_for(std::chrono::milliseconds(sample_time_ms)) || short_window_;
        };
    }
    if (!load_stub(stub, target_)) {
        return fail(SessionStep::kLoad);
    }
    if (target_.unsigned_pd) {
        int result = 0;
        if (!enable_unsigned_pd(target_.domain_id, &result)) {
            fail(SessionStep::kUnsignedPd);
            failure_.code = result;
            return false;
        }
    }
    if (!open_session(stub, target_, legacy_)) {
        return fail(stub.is_open ? SessionStep::kRegister : SessionStep::kOpen);
    }
    return true;
}

bool CoreSession::sample(std::uint32_t window_ms, Sample* out) {
    if (analyzer_ == nullptr) {
        return fail(SessionStep::kSample);
    }
    if (!sample_window(*analyzer_, legacy_, window_ms)) {
        return fail(SessionStep::kSample);
    }
    const KestrelStub& stub = analyzer_->GetDspStub();
    out->measured_time_ms = stub.measured_time_ms;
    out->processor_cycles = stub.processor_cycles;
    out->committed_packets = stub.committed_packets;
    out->hvx_packets = stub.hvx_packets;
    out->hmx_active_cycles = stub.hmx_active_cycles;
    out->clock_hz = stub.dsp_freq_hz;
    out->qdsp6 = analyzer_->qdsp6_utilization;
    // The HVX and HMX shares are of the core's own cycles: a window in which the core ran no
    // cycle gives 0 of 0, not a number, and such a core's engines were not busy at all.
    out->hvx = legacy_ ? 0.0f : busy_or_idle(analyzer_->hvx_utilization);
    out->hmx = legacy_ ? 0.0f : busy_or_idle(analyzer_->hmx_utilization);
    out->timestamp = wall_clock_seconds();
    out->monotonic = monotonic_clock_seconds();
    return true;
}

bool CoreSession::close() {
    if (analyzer_ == nullptr) {
        return true;
    }
    KestrelStub& stub = analyzer_->GetDspStub();
    bool closed = true;
    if (stub.is_open || stub.is_pmu_init) {
        closed = close_session(stub, legacy_);
        if (!closed) {
            failure_.step = SessionStep::kClose;
            failure_.code = stub.last_error;
            failure_.detail.clear();
        }
    }
    // Destroying the analyzer asks the platform once more for what is still open and unloads the
    // library.
    analyzer_.reset();
    return closed;
}

}  // namespace vorlix::kestrel
