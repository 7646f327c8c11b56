// Continuous sampling of one compute-DSP core.
#include "cpu/sampling/sampler.h"

#include <algorithm>
#include <memory>

#include "cpu/sampling/dsp_state.h"

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

namespace {

using Clock = std::chrono::steady_clock;

// Waits out the pause before the next attempt to open a down core's session, looking at the
// core's remote processor every kDownLook (or window): once seen not running, its reading
// running again ends the wait at once. False when the stop is requested.
bool wait_to_reopen(const SamplerConfig& config, SamplerObserver& observer, const StopSignal& stop,
                    const RemoteprocState& proc, std::chrono::milliseconds pause) {
    using std::chrono::milliseconds;
    const Clock::time_point end = Clock::now() + pause;
    const milliseconds look =
        std::clamp(milliseconds(config.window_ms->load()), milliseconds(100), kDownLook);
    bool seen_down = proc.found() && proc.read() != DspRun::kRunning;
    for (;;) {
        milliseconds left = std::chrono::ceil<milliseconds>(end - Clock::now());
        if (left.count() <= 0) {
            return true;
        }
        if (stop.wait_for(std::min(left, look))) {
            return false;
        }
        left = std::chrono::ceil<milliseconds>(end - Clock::now());
        if (left.count() <= 0) {
            return true;
        }
        if (proc.found()) {
            const bool running = proc.read() == DspRun::kRunning;
            if (running && seen_down) {
                return true;
            }
            seen_down = seen_down || !running;
        }
        observer.still_down(left);
    }
}

}  // namespace

void run_sampler(const SamplerConfig& config, SamplerObserver& observer, const StopSignal& stop) {
    Backoff backoff;
    // The core's remote processor, found at the first failure.
    std::unique_ptr<RemoteprocState> proc;
    CoreSession session(config.target, config.legacy, &stop, config.short_window);
    session.window_started = [&observer] { observer.window_started(); };
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
        if (proc == nullptr) {
            proc = std::make_unique<RemoteprocState>(config.target.domain_name);
        }
        if (!wait_to_reopen(config, observer, stop, *proc, pause)) {
            return;
        }
    }
}

}  // namespace vorlix::kestrel
