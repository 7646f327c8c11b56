// Replaying the recorded events.
#include "cpu/top/replay.h"

#include <algorithm>
#include <utility>

namespace vorlix::kestrel::top {

namespace {

// Events of one moment: within this many seconds of each other.
constexpr double kSameMoment = 0.05;

}  // namespace

ReplayCursor::ReplayCursor(std::vector<CoreEvent> events) : events_(std::move(events)) {
    // Every core of the recording is shown from the start, opening until its first event.
    for (const auto& event : events_) {
        model_.core(event.index, event.domain, event.arch, event.legacy);
    }
}

double ReplayCursor::time() const {
    if (events_.empty()) {
        return 0.0;
    }
    return events_[position_ == 0 ? 0 : position_ - 1].time;
}

bool ReplayCursor::next_time(double* time) const {
    if (position_ >= events_.size()) {
        return false;
    }
    *time = events_[position_].time;
    return true;
}

void ReplayCursor::seek(std::size_t position) {
    position = std::min(position, events_.size());
    if (position < position_) {
        // Going back: the model is rebuilt from the start.
        std::vector<CoreEvent> events = std::move(events_);
        const std::size_t history = history_;
        *this = ReplayCursor(std::move(events));
        reserve_history(history);
    }
    for (; position_ < position; ++position_) {
        apply_event(events_[position_], model_, true);
    }
}

void ReplayCursor::step_forward() {
    if (position_ >= events_.size()) {
        return;
    }
    const double moment = events_[position_].time;
    std::size_t end = position_;
    while (end < events_.size() && events_[end].time - moment < kSameMoment) {
        ++end;
    }
    seek(end);
}

void ReplayCursor::step_back() {
    if (position_ == 0) {
        return;
    }
    // Back to the start of the moment before the last applied one.
    std::size_t start = position_ - 1;
    const double moment = events_[start].time;
    while (start > 0 && moment - events_[start - 1].time < kSameMoment) {
        --start;
    }
    seek(start);
}

void ReplayCursor::reserve_history(std::size_t samples) {
    history_ = std::max(history_, samples);
    model_.reserve_history(history_);
}

}  // namespace vorlix::kestrel::top
