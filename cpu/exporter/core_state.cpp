// Per-core state, backoff and the stop request of the exporter.
#include "cpu/exporter/core_state.h"

#include <algorithm>
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

std::chrono::milliseconds Backoff::next() {
    const std::chrono::milliseconds pause = next_;
    next_ = std::min(next_ * 2, kLongest);
    return pause;
}

void Backoff::reset() {
    next_ = kFirst;
}

void StopSignal::request() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requested_ = true;
    }
    changed_.notify_all();
}

bool StopSignal::requested() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requested_;
}

bool StopSignal::wait_for(std::chrono::milliseconds duration) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, duration, [this] { return requested_; });
}

}  // namespace vorlix::kestrel::exporter
