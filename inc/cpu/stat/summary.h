// A run's summary, built from its core events as they come (live or from a recording): per core
// and engine the time-weighted distribution of the utilisation, the clock, the temperature and
// the outages; and what the run was (command, status, duration).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cpu/sampling/core_event.h"

namespace vorlix::kestrel::stat {

// The time-weighted distribution of one utilisation over the windows, in hundredths of a point:
// each window counts for its length, so that a window cut short weighs what it lasted.
class Distribution {
  public:
    // A window's figure over `seconds`; `whole`: it ran at least half its length, so its figure
    // may be the peak (a sliver of a window reads the counters' granularity as much as the load).
    void add(double percent, double seconds, bool whole = true);

    double seconds() const { return seconds_; }
    // The time-weighted mean.
    double mean() const;
    // The smallest value at or below which lies the share `p` (0..1) of the time.
    double percentile(double p) const;
    // The highest figure of a window that ran at least half its length (of any window when none
    // did), to the hundredth of a point as the percentiles.
    double peak() const { return whole_seconds_ > 0.0 ? peak_ : peak_any_; }
    // The share of the time (0..1) with a utilisation above `percent`.
    double share_above(double percent) const;

  private:
    std::vector<double> bins_;  // seconds per hundredth of a point, 0..100
    double seconds_ = 0.0;
    double weighted_ = 0.0;
    double whole_seconds_ = 0.0;
    double peak_ = 0.0;
    double peak_any_ = 0.0;
};

// A time during which a core measured nothing: its session failed (and the reopening attempts
// with it) until it opened again or the run ended.
struct Outage {
    double start = 0.0;  // seconds on the run's clock
    double end = 0.0;
    std::string what;  // the first failure, with the remote processor's state
    std::size_t failures = 0;
};

struct CoreSummary {
    std::uint32_t index = 0;
    std::string domain;
    std::string arch;
    bool legacy = false;  // only the scalar core is measured
    std::size_t windows = 0;
    Distribution qdsp6, hvx, hmx;
    double clock_min_hz = 0.0, clock_max_hz = 0.0, clock_weighted = 0.0;  // Hz x seconds
    bool has_temperature = false;
    std::string zone;
    double peak_celsius = 0.0;
    bool has_passive = false;
    double passive_celsius = 0.0;
    double hot_seconds = 0.0;  // within Temperature::kHotMargin of the passive trip point
    std::vector<Outage> outages;
    std::size_t outages_untold = 0;  // beyond kMaxOutages
    bool down = false;               // in an outage at the last event

    double measured_seconds() const { return qdsp6.seconds(); }
    // "nsp2 (V73)", or the domain alone when its architecture is not known.
    std::string name() const;
    double clock_mean_hz() const;
};

// What the run was. Times are seconds on the run's clock: the monotonic clock, or for a
// recording that lacks it, the wall clock.
struct RunInfo {
    std::vector<std::string> command;  // empty: none
    bool has_pid = false;
    std::uint64_t pid = 0;        // --pid, or the command's process
    double duration_asked = 0.0;  // --duration; 0: none
    std::string replay;           // the recording summarised; empty: a live run
    std::string board;            // "SA8797P (soc 690)"; empty when not known
    std::uint32_t window_ms = 0;
    bool monotonic = true;  // the run's clock
    double start = 0.0, end = 0.0;
    double start_wall = 0.0;  // the wall clock at the start
    bool has_status = false;  // the command's end is known
    bool exited = false;      // it exited (with `code`), or a signal ended it
    int code = 0;
    int signal = 0;
    int stop_signal = 0;  // a signal that ended the measurement (--pid, --duration)

    double duration() const { return end - start; }
    // The shell's view of the command's status: its code, or 128 + the signal.
    int exit_status() const { return exited ? code : 128 + signal; }
};

class Summary {
  public:
    // At most this many outages are told per core; the rest are counted.
    static constexpr std::size_t kMaxOutages = 100;

    // A core measured; events of cores not added are added as they come.
    void add_core(std::uint32_t index, const std::string& domain, const std::string& arch,
                  bool legacy);
    // One event, in the order they happened on its core; `at` is its time on the run's clock.
    // Events of cores already added may be taken at the same time from several threads, one
    // thread per core: each touches its own core's part only.
    void take(const CoreEvent& event, double at);
    // The run ended at `end`: an outage still open ends there.
    void finish(double end);

    const std::vector<CoreSummary>& cores() const { return cores_; }

  private:
    CoreSummary& core(const CoreEvent& event);
    void take_window(CoreSummary& core, const CoreEvent& event);
    void take_failure(CoreSummary& core, const CoreEvent& event, double at);

    std::vector<CoreSummary> cores_;
};

// The time of an event on the run's clock.
double event_time(const CoreEvent& event, bool monotonic);
// The length of an event's window in seconds: as measured, else as asked.
double window_seconds(const CoreEvent& event);

// The summary as kestrel-stat prints it.
std::string summary_text(const RunInfo& run, const Summary& summary);
// The summary as one JSON document (its schema is in the manual page).
std::string summary_json(const RunInfo& run, const Summary& summary);

}  // namespace vorlix::kestrel::stat
