// Continuous sampling of one compute-DSP core, for the programs that watch every core at once:
// opens a session, samples window after window and, when the session fails, closes it and
// opens it again after a backoff, until the stop is requested. While the session is down the
// core's remote processor is looked at every second (every window, for shorter windows): once
// it has been seen not running, its reading running again ends the backoff at once. What
// becomes of each sample and failure is the observer's business.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "cpu/sampling/session.h"

namespace vorlix::kestrel {

// Pause before the next attempt to open a failed core's session: 1 s, doubling up to 30 s;
// back to 1 s after a complete sample.
class Backoff {
  public:
    static constexpr std::chrono::milliseconds kFirst{1000};
    static constexpr std::chrono::milliseconds kLongest{30000};

    std::chrono::milliseconds next();
    void reset();

  private:
    std::chrono::milliseconds next_ = kFirst;
};

// The process-wide stop request: set once, wakes every waiter.
// The samplers of every core wait on it at once, their windows often ending together: it is an
// eventfd that the kernel wakes them on, with no lock of its own for them to queue on.
class StopSignal {
  public:
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    void request();
    bool requested() const { return requested_.load(); }
    // Waits for `duration` or until the stop is requested; true when it is.
    bool wait_for(std::chrono::milliseconds duration) const;

  private:
    std::atomic<bool> requested_{false};
    int fd_ = -1;  // readable once the stop is requested; -1 when none could be made
};

// Told, on the sampling thread, what happens to one core's session.
class SamplerObserver {
  public:
    virtual ~SamplerObserver() = default;
    // The session is open (and its PMU group registered); no sample of it yet.
    virtual void session_opened() {}
    // A window began: its first reading is taken.
    virtual void window_started() {}
    // A complete sample.
    virtual void sample_taken(const Sample& sample) = 0;
    // The session failed and is closed; it is opened again after `reopen_in` at the latest
    // (zero when the sampler does not reopen: once mode, or the stop was requested).
    virtual void session_failed(const SessionFailure& failure,
                                std::chrono::milliseconds reopen_in) = 0;
    // While the session is down, at each look at the core's remote processor (kDownLook) that
    // does not end the wait: the time left until the next attempt.
    virtual void still_down(std::chrono::milliseconds /*reopen_in*/) {}
};

// How often a down core's remote processor is looked at: every second, or every window when
// the windows are shorter.
inline constexpr std::chrono::milliseconds kDownLook{1000};

struct SamplerConfig {
    CoreTarget target;
    bool legacy = false;  // sample without the PMU group (legacy SoCs)
    // The sampling window in milliseconds, read before each window so that it can change while
    // the sampler runs.
    const std::atomic<std::uint32_t>* window_ms = nullptr;
    bool once = false;  // one attempt and at most one sample, no reopening
    // The window in progress when the stop comes is reported as a sample over the time it ran,
    // rather than dropped (a measurement of a run that ends then).
    bool short_window = false;
};

// The sampling loop of one core; returns once the stop is requested (a window in progress ends
// at once and is not reported as a sample, unless `short_window`) or, in once mode, after its one
// sample or failure.
// The session is closed and the PMU group released by then.
void run_sampler(const SamplerConfig& config, SamplerObserver& observer, const StopSignal& stop);

}  // namespace vorlix::kestrel
