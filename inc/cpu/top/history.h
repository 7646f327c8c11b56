// The recent figures of one engine: a ring of samples, oldest first, that keeps the newest ones.
// Its capacity only grows, so a wider terminal never loses what was kept.
#pragma once

#include <cstddef>
#include <vector>

namespace vorlix::kestrel::top {

class History {
  public:
    // Samples kept before the terminal asks for more.
    static constexpr std::size_t kDefaultCapacity = 512;

    explicit History(std::size_t capacity = kDefaultCapacity);

    // Adds the newest sample; the oldest is dropped when the ring is full.
    void push(float value);
    // Keeps at least `capacity` samples from now on; what is held stays, in order.
    void reserve(std::size_t capacity);
    void clear();

    std::size_t size() const { return size_; }
    std::size_t capacity() const { return ring_.size(); }
    // The sample `age` steps before the newest (0 is the newest); `age` < size().
    float back(std::size_t age) const;

  private:
    std::vector<float> ring_;
    std::size_t next_ = 0;  // where the next sample goes
    std::size_t size_ = 0;
};

}  // namespace vorlix::kestrel::top
