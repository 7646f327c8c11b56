// Core events: the session states' names and a zone's temperature as an event carries it.
#include "cpu/sampling/core_event.h"

namespace vorlix::kestrel {

const char* session_state_name(SessionState state) {
    switch (state) {
        case SessionState::kOpening:
            return "opening";
        case SessionState::kSampling:
            return "sampling";
        case SessionState::kDown:
            return "down";
    }
    return "?";
}

bool parse_session_state(const std::string& name, SessionState* state) {
    for (const SessionState candidate :
         {SessionState::kOpening, SessionState::kSampling, SessionState::kDown}) {
        if (name == session_state_name(candidate)) {
            *state = candidate;
            return true;
        }
    }
    return false;
}

Temperature zone_temperature(const ThermalZone& zone) {
    Temperature out;
    out.present = true;
    out.zone = zone.type;
    out.celsius = zone.celsius;
    if (const TripPoint* passive = zone.trip("passive")) {
        out.has_passive = true;
        out.passive = passive->celsius;
    }
    if (const TripPoint* critical = zone.trip("critical")) {
        out.has_critical = true;
        out.critical = critical->celsius;
    }
    return out;
}

}  // namespace vorlix::kestrel
