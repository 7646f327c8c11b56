// What kestrel-top shows: each core's latest figures, their history, its temperature, its
// remote processor and its session. Live, the collector makes one event per window or failure
// of a core and applies it here; a replay applies the recorded events, so both show alike.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cpu/top/history.h"

namespace vorlix::kestrel::top {

enum class SessionState {
    kOpening,   // the session is being opened; no sample yet
    kSampling,  // open; samples come in
    kDown,      // failed and closed; opened again after the sampler's backoff
};

// "opening", "sampling", "down".
const char* session_state_name(SessionState state);
bool parse_session_state(const std::string& name, SessionState* state);

// A core's thermal zone and its trip points as read at one moment.
struct Temperature {
    bool present = false;  // false: the core has no zone
    std::string zone;
    double celsius = 0.0;
    bool has_passive = false;
    double passive = 0.0;
    bool has_critical = false;
    double critical = 0.0;

    // Within this many degrees of the passive trip point the core is shown hot.
    static constexpr double kHotMargin = 5.0;
    bool hot() const { return present && has_passive && celsius >= passive - kHotMargin; }
};

// One event of a core: a window's figures, or a session that opened or failed, with what the
// kernel told about the core at that moment. A recording holds these, one per line.
struct CoreEvent {
    double time = 0.0;  // seconds since the epoch
    std::uint32_t index = 0;
    std::string domain;
    std::string arch;
    bool legacy = false;  // only the scalar core is measured
    std::uint32_t window_ms = 0;
    SessionState session = SessionState::kSampling;
    std::string error;         // down: what failed
    double reopen_in = 0.0;    // down: seconds until the next attempt
    bool has_figures = false;  // a complete window
    float qdsp6 = 0.0f;        // utilisations in percent
    float hvx = 0.0f;
    float hmx = 0.0f;
    double clock_hz = 0.0;
    Temperature temperature;
    bool has_remoteproc = false;
    std::string remoteproc;  // its state: "running", "offline", "crashed", ...
};

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
