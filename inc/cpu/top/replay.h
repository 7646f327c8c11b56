// A replay of a recording: the events played at their recorded pace, and stepped through.
#pragma once

#include <cstddef>
#include <vector>

#include "cpu/sampling/core_event.h"
#include "cpu/top/model.h"

namespace vorlix::kestrel::top {

// A position in a recording: the model as it stood after the first `position` events.
class ReplayCursor {
  public:
    explicit ReplayCursor(std::vector<CoreEvent> events);

    std::size_t position() const { return position_; }
    std::size_t size() const { return events_.size(); }
    const Model& model() const { return model_; }
    // The time of the last applied event (of the first event before any is applied).
    double time() const;
    // The time of the next event; false at the end.
    bool next_time(double* time) const;

    // Moves to after `position` events (clamped to the recording).
    void seek(std::size_t position);
    // One window forward or back: to the next (previous) moment at which any event happened.
    void step_forward();
    void step_back();
    // Keeps at least `samples` of history per engine.
    void reserve_history(std::size_t samples);

  private:
    std::vector<CoreEvent> events_;
    std::size_t position_ = 0;
    std::size_t history_ = History::kDefaultCapacity;
    Model model_;
};

}  // namespace vorlix::kestrel::top
