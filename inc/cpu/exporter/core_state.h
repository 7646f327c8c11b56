// What the exporter keeps about one compute-DSP core between scrapes, the backoff of a core
// whose session failed, and the stop request that every core thread waits on.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "cpu/exporter/exposition.h"

namespace vorlix::kestrel::exporter {

// The state of one core, written by its sampling thread and read by every scrape. A scrape takes
// a copy under the lock and never waits for a sampling window.
class CoreState {
  public:
    CoreState(std::string domain, std::string arch, bool legacy);
    CoreState(const CoreState&) = delete;
    CoreState& operator=(const CoreState&) = delete;

    // The session is open (and its PMU group registered): up, no sample of it yet.
    void session_opened();
    // A complete sample, taken at `timestamp` (seconds since the epoch).
    void sample_taken(const CoreFigures& figures, double timestamp);
    // Opening the session or a sample failed: down, one more error; counters and the last
    // sample's time stay.
    void failed();

    CoreSnapshot snapshot() const;

  private:
    mutable std::mutex mutex_;
    CoreSnapshot state_;
};

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
class StopSignal {
  public:
    void request();
    bool requested() const;
    // Waits for `duration` or until the stop is requested; true when it is.
    bool wait_for(std::chrono::milliseconds duration) const;

  private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool requested_ = false;
};

}  // namespace vorlix::kestrel::exporter
