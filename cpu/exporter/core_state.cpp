// Per-core state of the exporter.
#include "cpu/exporter/core_state.h"

#include <utility>

namespace vorlix::kestrel::exporter {

CoreState::CoreState(std::string domain, std::string arch, bool legacy) {
    state_.domain = std::move(domain);
    state_.arch = std::move(arch);
    state_.legacy = legacy;
}

void CoreState::session_opened() {
    std::lock_guard<std::mutex> lock(mutex_);
    state_.up = true;
    state_.has_sample = false;
}

void CoreState::sample_taken(const CoreFigures& figures, double timestamp) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_.up = true;
    state_.has_sample = true;
    state_.figures = figures;
    state_.timestamp = timestamp;
    ++state_.samples;
}

void CoreState::failed() {
    std::lock_guard<std::mutex> lock(mutex_);
    state_.up = false;
    state_.has_sample = false;
    ++state_.errors;
}

CoreSnapshot CoreState::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

}  // namespace vorlix::kestrel::exporter
