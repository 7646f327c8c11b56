// The clocks as the programs record and show times: the wall clock, in seconds since the epoch
// with the fraction, and the monotonic clock.
#pragma once

#include <chrono>

namespace vorlix::kestrel {

inline double wall_clock_seconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The monotonic clock (CLOCK_MONOTONIC), in seconds: what a timeline lines up on with other
// traces of the same machine.
inline double monotonic_clock_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace vorlix::kestrel
