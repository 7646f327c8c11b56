// What the kernel tells about each sampled core.
#include "cpu/sampling/core_kernel.h"

namespace vorlix::kestrel {

namespace {

// How often the zones and processors are listed anew, with their types and trip points.
constexpr std::chrono::seconds kListAge{30};

}  // namespace

CoreKernelReader::CoreKernelReader(const std::vector<CoreTarget>& cores)
    : sources_(cores.size()), readings_(cores.size()) {
    for (const CoreTarget& core : cores) {
        domains_.push_back(core.domain_name);
    }
}

void CoreKernelReader::read(std::chrono::milliseconds max_age, bool fresh) {
    const auto now = std::chrono::steady_clock::now();
    const bool never = listed_ == std::chrono::steady_clock::time_point{};
    if (!never && !fresh && now - read_ < max_age) {
        return;
    }
    if (never || now - listed_ > kListAge || !watch_.refresh()) {
        watch_.list();
        listed_ = now;
        for (std::size_t slot = 0; slot < domains_.size(); ++slot) {
            sources_[slot].zones = zones_of_core(watch_.zones(), domains_[slot]);
            sources_[slot].proc = remoteproc_for_core(watch_.procs(), domains_[slot]);
        }
    }
    read_ = now;
    for (std::size_t slot = 0; slot < domains_.size(); ++slot) {
        const Source& source = sources_[slot];
        const ThermalZone* zone = hottest_zone(watch_.zones(), source.zones);
        Reading& reading = readings_[slot];
        reading.temperature = zone != nullptr ? zone_temperature(*zone) : Temperature();
        reading.has_remoteproc = source.proc != nullptr;
        reading.remoteproc = source.proc != nullptr ? source.proc->state : std::string();
    }
}

void CoreKernelReader::fill(std::size_t slot, CoreEvent* event) const {
    if (slot >= readings_.size()) {
        return;
    }
    const Reading& reading = readings_[slot];
    event->temperature = reading.temperature;
    event->has_remoteproc = reading.has_remoteproc;
    event->remoteproc = reading.remoteproc;
}

}  // namespace vorlix::kestrel
