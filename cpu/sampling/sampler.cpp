// Continuous sampling of one compute-DSP core.
#include "cpu/sampling/sampler.h"

#include <algorithm>

namespace vorlix::kestrel {

std::chrono::milliseconds Backoff::next() {
    const std::chrono::milliseconds pause = next_;
    next_ = std::min(next_ * 2, kLongest);
    return pause;
}

void Backoff::reset() {
    next_ = kFirst;
}

void StopSignal::request() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requested_ = true;
    }
    changed_.notify_all();
}

bool StopSignal::requested() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requested_;
}

bool StopSignal::wait_for(std::chrono::milliseconds duration) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, duration, [this] { return requested_; });
}

void run_sampler(const SamplerConfig& config, SamplerObserver& observer, const StopSignal& stop) {
    Backoff backoff;
    CoreSession session(config.target, config.legacy, &stop);
    while (!stop.requested()) {
        if (session.open()) {
            observer.session_opened();
            Sample sample;
            while (!stop.requested() && session.sample(config.window_ms->load(), &sample)) {
                observer.sample_taken(sample);
                backoff.reset();
                if (config.once) {
                    session.close();
                    return;
                }
            }
            if (stop.requested()) {
                session.close();
                return;
            }
        }
        // The session failed: it is closed (as far as the platform still allows) before the
        // pause, so that its PMU group is not held while the core is down.
        SessionFailure failure = session.failure();
        session.close();
        if (config.once) {
            observer.session_failed(failure, std::chrono::milliseconds(0));
            return;
        }
        const std::chrono::milliseconds pause = backoff.next();
        observer.session_failed(failure, pause);
        if (stop.wait_for(pause)) {
            return;
        }
    }
}

}  // namespace vorlix::kestrel
