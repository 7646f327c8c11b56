// Where a run's results go: the summary (standard error, or -o FILE), its JSON (a file, or
// standard output), the recording and the timeline. Every file is created before the run starts,
// so that one that cannot be written stops kestrel-stat before the command runs.
#pragma once

#include <cstdio>
#include <string>

#include "cpu/sampling/recording.h"
#include "cpu/stat/stat_options.h"
#include "cpu/stat/summary.h"
#include "cpu/stat/trace_json.h"

namespace vorlix::kestrel::stat {

class Outputs {
  public:
    Outputs() = default;
    ~Outputs();
    Outputs(const Outputs&) = delete;
    Outputs& operator=(const Outputs&) = delete;

    // Creates the files `params` names (the recording only when `record`). `stdout_fd` is the
    // standard output that "--json -" writes to. False, with the reason in `why`.
    bool open(const StatParams& params, int stdout_fd, bool record, std::string* why);
    // Whether events are written (a recording or a timeline).
    bool takes_events() const { return recording_open_ || trace_.is_open(); }
    // An event for the recording and the timeline, at `at` on the run's clock.
    void event(const CoreEvent& event, double at);
    // Writes the summary and its JSON and ends the recording and the timeline. False when
    // something could not be written (each failure is told on standard error).
    bool finish(const RunInfo& run, const Summary& summary);

  private:
    std::FILE* summary_ = nullptr;  // -o FILE; null: standard error
    std::FILE* json_ = nullptr;     // --json FILE
    bool json_to_stdout_ = false;
    int stdout_fd_ = 1;
    std::string summary_path_, json_path_;
    RecordingWriter recording_;
    bool recording_open_ = false;
    TraceWriter trace_;
};

}  // namespace vorlix::kestrel::stat
