// What the kernel tells about each core a program samples, as its events carry it: the core's
// thermal zone (the hottest of those that are the core's) with its trip points, and its remote
// processor's state. The zones and processors are listed once, and then only their temperatures
// and states are read again, through descriptors kept open (DspStateWatch), at most as often as
// the program asks; they are listed anew every 30 s, and when a reading fails.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "cpu/sampling/board.h"
#include "cpu/sampling/core_event.h"
#include "cpu/sampling/dsp_state.h"

namespace vorlix::kestrel {

class CoreKernelReader {
  public:
    // One slot per core, in this order.
    explicit CoreKernelReader(const std::vector<CoreTarget>& cores);

    // Reads the temperatures and states again unless the last reading is younger than `max_age`;
    // with `fresh` anyway.
    void read(std::chrono::milliseconds max_age, bool fresh);
    // Sets the event's temperature and remote processor from the last reading of core `slot`.
    void fill(std::size_t slot, CoreEvent* event) const;

  private:
    // Where a core's state comes from, as the zones and processors were last listed: the zones
    // its zone is chosen from (indices into the watch's zones) and its processor (null: none).
    struct Source {
        std::vector<std::size_t> zones;
        const Remoteproc* proc = nullptr;
    };
    struct Reading {
        Temperature temperature;
        bool has_remoteproc = false;
        std::string remoteproc;
    };

    std::vector<std::string> domains_;
    DspStateWatch watch_;
    std::vector<Source> sources_;
    std::vector<Reading> readings_;
    std::chrono::steady_clock::time_point read_{};
    std::chrono::steady_clock::time_point listed_{};  // zero: never
};

}  // namespace vorlix::kestrel
