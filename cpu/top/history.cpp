// The ring of an engine's recent figures.
#include "cpu/top/history.h"

#include <algorithm>

namespace vorlix::kestrel::top {

History::History(std::size_t capacity) : ring_(std::max<std::size_t>(capacity, 1), kBlank) {}

void History::push(float value) {
    ring_[next_] = value;
    next_ = (next_ + 1) % ring_.size();
    size_ = std::min(size_ + 1, ring_.size());
}

void History::set_newest(float value) {
    if (size_ > 0) {
        ring_[(next_ + ring_.size() - 1) % ring_.size()] = value;
    }
}

void History::reserve(std::size_t capacity) {
    if (capacity <= ring_.size()) {
        return;
    }
    // Unrolled oldest first into the larger ring.
    std::vector<float> grown(capacity, kBlank);
    for (std::size_t i = 0; i < size_; ++i) {
        grown[i] = back(size_ - 1 - i);
    }
    ring_ = std::move(grown);
    next_ = size_;
}

void History::clear() {
    next_ = 0;
    size_ = 0;
}

float History::back(std::size_t age) const {
    // next_ + size - 1 - age is below twice the size (age < size): one subtraction wraps it.
    std::size_t at = next_ + ring_.size() - 1 - age;
    if (at >= ring_.size()) {
        at -= ring_.size();
    }
    return ring_[at];
}

}  // namespace vorlix::kestrel::top
