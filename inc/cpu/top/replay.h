// A replay of a recording: the events played at their recorded pace, and stepped through.
//
// The recording is read once at start, every line checked, and kept as an index of where each
// event is in the file (16 bytes an event); the events are read again from the file as the replay
// reaches them. What the replay keeps besides is the model: at most kMostRecordedCores cores,
// with as much history as the terminal shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cpu/sampling/core_event.h"
#include "cpu/top/model.h"

namespace vorlix::kestrel::top {

class Recording {
  public:
    Recording() = default;
    ~Recording();
    Recording(const Recording&) = delete;
    Recording& operator=(const Recording&) = delete;

    // Reads and checks the whole file. False, with "FILE:LINE: reason" in `why`, for a file that
    // cannot be read, a malformed line (RecordingReader's bounds included) or no event at all.
    bool load(const std::string& path, std::string* why);

    // Events, in time order (the file's order among equal times).
    std::size_t size() const { return entries_.size(); }
    double time(std::size_t event) const { return entries_[event].time; }
    // The core an event is of, numbered from 0 in the order of their first events.
    std::size_t slot(std::size_t event) const;
    std::size_t cores() const { return cores_; }
    // Reads an event again; false when the file no longer holds it as it did.
    bool event(std::size_t event, CoreEvent* out) const;

  private:
    struct Entry {
        double time;
        std::uint64_t place;  // offset (40 bits), length (13 bits), slot (6 bits)
    };

    int fd_ = -1;
    std::vector<Entry> entries_;
    std::size_t cores_ = 0;
};

// A position in a recording: the model as it stood at the end of one of its moments (the events
// within kSameMoment of the moment's first, a window of every core).
class ReplayCursor {
  public:
    static constexpr double kSameMoment = 0.05;

    // At the end of the first moment.
    explicit ReplayCursor(const Recording& recording);

    // Moments: how many, and which one the model stands at (from 0).
    std::size_t moments() const { return moment_start_.size(); }
    std::size_t moment() const { return moment_; }
    const Model& model() const { return model_; }
    // The time of the moment the model stands at, and of the recording's first and last events.
    double time() const;
    double first_time() const { return recording_.time(0); }
    double last_time() const { return recording_.time(recording_.size() - 1); }
    // The time of the next moment; false at the end.
    bool next_time(double* time) const;

    // To the end of moment `moment` (clamped to the recording).
    void seek(std::size_t moment);
    void step_forward() { seek(moment_ + 1); }
    void step_back() { seek(moment_ == 0 ? 0 : moment_ - 1); }
    // Keeps at least `columns` of history per engine.
    void reserve_history(std::size_t columns);

  private:
    // The events that end moment `moment`.
    std::size_t end_of(std::size_t moment) const;
    void apply(std::size_t from, std::size_t to, Keep keep);
    void rebuild(std::size_t end);

    const Recording& recording_;
    std::vector<std::uint32_t> moment_start_;  // the first event of each moment
    std::size_t moment_ = 0;
    std::size_t applied_ = 0;  // events applied to the model
    std::size_t history_ = History::kDefaultCapacity;
    Model model_;
};

}  // namespace vorlix::kestrel::top
