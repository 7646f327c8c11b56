// One event of a compute-DSP core as the programs that watch every core see it: a window's
// figures, or a session that opened or failed, with what the kernel told about the core at that
// moment. kestrel-top shows them and records them, one per line; a recording is read back by the
// programs that replay or summarise it.
#pragma once

#include <cstdint>
#include <string>

#include "cpu/sampling/dsp_state.h"

namespace vorlix::kestrel {

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

// One event of a core. A recording holds these, one per line.
struct CoreEvent {
    double time = 0.0;  // seconds since the epoch
    std::uint32_t index = 0;
    std::string domain;
    std::string arch;
    bool legacy = false;  // only the scalar core is measured
    std::uint32_t window_ms = 0;
    SessionState session = SessionState::kSampling;
    std::string error;       // down: what failed
    double reopen_in = 0.0;  // down: seconds until the next attempt
    // The monotonic clock's seconds at `time` (0: not known; recordings of older versions lack
    // it), for a timeline that lines up with other traces of the machine.
    double monotonic = 0.0;
    bool has_figures = false;  // a window's figures
    // The window's length as the DSP measured it, in milliseconds (0: not known; then
    // `window_ms`). A window that a stop cut short is shorter than `window_ms`.
    double measured_ms = 0.0;
    float qdsp6 = 0.0f;  // utilisations in percent
    float hvx = 0.0f;
    float hmx = 0.0f;
    double clock_hz = 0.0;
    Temperature temperature;
    bool has_remoteproc = false;
    std::string remoteproc;  // its state: "running", "offline", "crashed", ...
};

// A zone's temperature with its passive and critical trip points.
Temperature zone_temperature(const ThermalZone& zone);

}  // namespace vorlix::kestrel
