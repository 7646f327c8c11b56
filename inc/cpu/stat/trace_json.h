// A run as a timeline in the Trace Event Format, the JSON document that Perfetto's UI and
// chrome://tracing open, written as the events come: one process (track group) per core with a
// counter track per engine (0-100 %), the clock and the temperature, each outage as a slice
// there, and the run itself (the command's lifetime) as a slice of a process of its own, with
// metadata naming them. Timestamps are the run's clock in microseconds: the monotonic clock, so
// that a trace of the workload taken on the same clock lines up beside it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "cpu/sampling/core_event.h"
#include "cpu/sampling/output_file.h"
#include "cpu/stat/summary.h"

namespace vorlix::kestrel::stat {

// The timeline's processes have ids no process of the machine has (Linux's process ids stay
// below 2^22), so that the timeline merges with a trace of the machine's own processes: the run
// is this one, core N is this one plus 1 plus N.
inline constexpr std::uint64_t kTracePidBase = 4194304;

class TraceWriter {
  public:
    // Creates (or empties) the file. False, with the reason in `why`.
    bool open(const std::string& path, std::string* why);
    bool is_open() const { return file_.is_open(); }
    // One event of a core, at `at` seconds on the run's clock: a window's figures become the
    // counters' values from the window's start; a failure sets the engines to 0.
    void event(const CoreEvent& event, double at);
    // Ends the document: the outages (from the summary), the run's slice and the names of the
    // tracks. False, with the reason of the first failure in `why`, when a write failed.
    bool close(const RunInfo& run, const Summary& summary, std::string* why);

  private:
    void counter(std::uint64_t pid, const char* name, const char* unit, double value, double at);
    void write(const std::string& text);

    OutputFile file_;
    bool first_ = true;
    std::map<std::uint64_t, bool> down_;  // per core's process: its last event was a failure
};

}  // namespace vorlix::kestrel::stat
