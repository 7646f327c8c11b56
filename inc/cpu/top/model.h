// What kestrel-top shows: each core's latest figures, their history, its temperature, its
// remote processor and its session. Live, the collector makes one event per window or failure
// of a core and applies it here; a replay applies the recorded events, so both show alike.
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
    bool has_figures = false;
    float qdsp6_now = 0.0f;
    float hvx_now = 0.0f;
    float hmx_now = 0.0f;
    double clock_hz = 0.0;
    Temperature temperature;
    bool has_remoteproc = false;
    std::string remoteproc;
    SessionState session = SessionState::kOpening;
    std::string error;
    double reopen_at = 0.0;  // down: when the next attempt comes, on the events' clock
    double last_time = 0.0;  // the last event's time
};

struct Model {
    std::vector<CoreView> cores;  // in index order
    std::uint32_t window_ms = 0;  // the last window's length

    // The core at `index`, added (in index order) when missing.
    CoreView& core(std::uint32_t index, const std::string& domain, const std::string& arch,
                   bool legacy);
    // Every history keeps at least `samples` from now on.
    void reserve_history(std::size_t samples);
};

// Applies an event to its core. With figures, the latest figures are replaced and, when
// `keep_history`, added to the histories (a paused view adds none).
void apply_event(const CoreEvent& event, Model& model, bool keep_history);

}  // namespace vorlix::kestrel::top
