// What the exporter keeps about one compute-DSP core between scrapes.
#pragma once

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

}  // namespace vorlix::kestrel::exporter
