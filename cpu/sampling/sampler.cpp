// Continuous sampling of one compute-DSP core.
#include "cpu/sampling/sampler.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <memory>

#include "cpu/sampling/dsp_state.h"

namespace vorlix::kestrel {

namespace {

constexpr std::chrono::nanoseconds kNoFdStep = std::chrono::milliseconds(10);

}  // namespace

std::chrono::milliseconds Backoff::next() {
    const std::chrono::milliseconds pause = next_;
    next_ = std::min(next_ * 2, kLongest);
    return pause;
}

void Backoff::reset() {
    next_ = kFirst;
}

StopSignal::StopSignal() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

StopSignal::~StopSignal() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

void StopSignal::request() {
    requested_.store(true);
    if (fd_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(fd_, &one, sizeof one);
    }
}

bool StopSignal::wait_for(std::chrono::milliseconds duration) const {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + duration;
    while (!requested_.load()) {
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(end - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        // Without an eventfd (out of descriptors) the stop is looked at every 10 ms.
        const auto step = fd_ >= 0 ? left : std::min<std::chrono::nanoseconds>(left, kNoFdStep);
        const timespec wait{static_cast<time_t>(step.count() / 1000000000),
                            static_cast<long>(step.count() % 1000000000)};
        pollfd fd{fd_, POLLIN, 0};
        ppoll(&fd, fd_ >= 0 ? 1 : 0, &wait, nullptr);
    }
    return true;
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
