// The wall clock as the programs record and show times: seconds since the epoch, with the
// fraction.
#pragma once

#include <chrono>

namespace vorlix::kestrel {

inline double wall_clock_seconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace vorlix::kestrel
