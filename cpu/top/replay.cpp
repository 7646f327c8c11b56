// Replaying the recorded events.
#include "cpu/top/replay.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "cpu/sampling/recording.h"

namespace vorlix::kestrel::top {

namespace {

constexpr unsigned kLengthBits = 13;  // up to kLongestRecordingLine
constexpr unsigned kSlotBits = 6;     // up to kMostRecordedCores
constexpr std::uint64_t kLongestOffset = (std::uint64_t{1} << 40) - 1;
static_assert(kLongestRecordingLine < (1u << kLengthBits));
static_assert(kMostRecordedCores <= (1u << kSlotBits));

}  // namespace

Recording::~Recording() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool Recording::load(const std::string& path, std::string* why) {
    RecordingReader reader;
    if (!reader.open(path, why)) {
        return false;
    }
    std::vector<std::uint32_t> slots;  // core index of each slot
    CoreEvent event;
    while (reader.next(&event, why)) {
        if (reader.offset() > kLongestOffset || entries_.size() == UINT32_MAX) {
            *why = path + ":" + std::to_string(reader.line()) + ": the recording is too long";
            return false;
        }
        auto slot = std::find(slots.begin(), slots.end(), event.index);
        if (slot == slots.end()) {
            slot = slots.insert(slots.end(), event.index);
        }
        const auto number = static_cast<std::uint64_t>(slot - slots.begin());
        entries_.push_back({event.time, reader.offset() << (kLengthBits + kSlotBits) |
                                            std::uint64_t{reader.length()} << kSlotBits | number});
    }
    if (!why->empty()) {
        return false;
    }
    if (entries_.empty()) {
        *why = path + ": no events recorded";
        return false;
    }
    cores_ = slots.size();
    std::stable_sort(entries_.begin(), entries_.end(),
                     [](const Entry& a, const Entry& b) { return a.time < b.time; });
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        *why = path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

std::size_t Recording::slot(std::size_t event) const {
    return entries_[event].place & ((1u << kSlotBits) - 1);
}

bool Recording::event(std::size_t event, CoreEvent* out) const {
    const std::uint64_t place = entries_[event].place;
    const std::size_t length = (place >> kSlotBits) & ((1u << kLengthBits) - 1);
    const auto offset = static_cast<off_t>(place >> (kLengthBits + kSlotBits));
    char line[kLongestRecordingLine];
    if (pread(fd_, line, length, offset) != static_cast<ssize_t>(length)) {
        return false;
    }
    std::string why;
    return event_from_json(std::string(line, length), out, &why);
}

ReplayCursor::ReplayCursor(const Recording& recording) : recording_(recording) {
    for (std::size_t i = 0; i < recording_.size(); ++i) {
        if (moment_start_.empty() ||
            recording_.time(i) - recording_.time(moment_start_.back()) >= kSameMoment) {
            moment_start_.push_back(static_cast<std::uint32_t>(i));
        }
    }
    // Every core of the recording is shown from the start, opening until its first event.
    std::vector<bool> seen(recording_.cores(), false);
    std::size_t unseen = recording_.cores();
    CoreEvent event;
    for (std::size_t i = 0; i < recording_.size() && unseen > 0; ++i) {
        if (!seen[recording_.slot(i)] && recording_.event(i, &event)) {
            seen[recording_.slot(i)] = true;
            --unseen;
            model_.core(event.index, event.domain, event.arch, event.legacy);
        }
    }
    seek(0);
}

double ReplayCursor::time() const {
    return recording_.time(end_of(moment_) - 1);
}

bool ReplayCursor::next_time(double* time) const {
    if (moment_ + 1 >= moments()) {
        return false;
    }
    *time = recording_.time(moment_start_[moment_ + 1]);
    return true;
}

std::size_t ReplayCursor::end_of(std::size_t moment) const {
    return moment + 1 < moments() ? moment_start_[moment + 1] : recording_.size();
}

void ReplayCursor::apply(std::size_t from, std::size_t to, Keep keep) {
    CoreEvent event;
    for (std::size_t i = from; i < to; ++i) {
        if (recording_.event(i, &event)) {
            apply_event(event, model_, keep);
        }
    }
}

void ReplayCursor::seek(std::size_t moment) {
    moment = std::min(moment, moments() - 1);
    const std::size_t end = end_of(moment);
    if (end < applied_) {
        rebuild(end);
    }
    apply(applied_, end, Keep::kFigures);
    applied_ = end;
    moment_ = moment;
}

// The model anew for the first `end` events: each core's last event of those before the ones
// that fill the history gives its state, and the history is filled from enough events back for
// every column kept (a column takes at most a window of each core and a few changes of state).
void ReplayCursor::rebuild(std::size_t end) {
    Model fresh;
    for (const CoreView& core : model_.cores) {
        fresh.core(core.index, core.domain, core.arch, core.legacy);
    }
    model_ = std::move(fresh);
    model_.reserve_history(history_);
    const std::size_t back = 2 * history_ * (recording_.cores() + 1);
    const std::size_t from = end > back ? end - back : 0;
    std::vector<std::size_t> last(recording_.cores(), SIZE_MAX);
    std::size_t missing = recording_.cores();
    for (std::size_t i = from; i-- > 0 && missing > 0;) {
        std::size_t& found = last[recording_.slot(i)];
        if (found == SIZE_MAX) {
            found = i;
            --missing;
        }
    }
    std::sort(last.begin(), last.end());
    CoreEvent event;
    for (const std::size_t i : last) {
        if (i != SIZE_MAX && recording_.event(i, &event)) {
            apply_event(event, model_, Keep::kStateOnly);
        }
    }
    apply(from, end, Keep::kFigures);
    applied_ = end;
}

void ReplayCursor::reserve_history(std::size_t columns) {
    history_ = std::max(history_, columns);
    model_.reserve_history(history_);
}

}  // namespace vorlix::kestrel::top
