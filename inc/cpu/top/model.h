// What kestrel-top shows: each core's latest figures, their history, its temperature, its
// remote processor and its session. Live, the collector makes one event per window or failure
// of a core and applies it here; a replay applies the recorded events, so both show alike.
//
// Every core's histories share one time axis: a column is one window of wall time, the same for
// every core. A window's figures go into the newest column when the core has none there yet and
// it ended within a window of the column's first (the cores' windows of one set), else into a
// new column, after a blank one for each window that passed without any; a core without a window
// in a column (down, opening, paused) has it blank. After an outage the cores' plots are in step
// again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cpu/sampling/core_event.h"
#include "cpu/top/history.h"

namespace vorlix::kestrel::top {

struct CoreView {
    std::uint32_t index = 0;
    std::string domain;
    std::string arch;
    bool legacy = false;
    History qdsp6;
    History hvx;
    History hmx;
    bool has_figures = false;  // a current window's figures: false while down or opening
    float qdsp6_now = 0.0f;
    float hvx_now = 0.0f;
    float hmx_now = 0.0f;
    double clock_hz = 0.0;
    Temperature temperature;
    bool has_remoteproc = false;
    std::string remoteproc;
    SessionState session = SessionState::kOpening;
    std::string error;
    double reopen_at = 0.0;    // down: when the next attempt comes, on the events' clock
    double last_time = 0.0;    // the last event's time
    std::uint64_t filled = 0;  // the newest column this core has a window in (Model::columns)
};

// What an event leaves in the histories.
enum class Keep {
    kFigures,    // a window's figures go into its column
    kBlank,      // the column is made, left blank (a paused view)
    kStateOnly,  // nothing: the core's state alone (a replay catching up on older events)
};

struct Model {
    std::vector<CoreView> cores;  // in index order
    std::uint32_t window_ms = 0;  // the last window's length
    // The time axis: the columns made so far (the newest's number), when the newest one's
    // windows ended and how long they were, in seconds.
    std::uint64_t columns = 0;
    double newest_time = 0.0;
    double newest_window_s = 1.0;

    // The core at `index`, added (in index order) when missing, with as many blank columns as
    // the others have.
    CoreView& core(std::uint32_t index, const std::string& domain, const std::string& arch,
                   bool legacy);
    // Every history keeps at least `kept` columns from now on.
    void reserve_history(std::size_t kept);
};

// Applies an event to its core.
void apply_event(const CoreEvent& event, Model& model, Keep keep);

}  // namespace vorlix::kestrel::top
