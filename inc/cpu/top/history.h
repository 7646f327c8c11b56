// The recent figures of one engine of one core: a ring of columns, oldest first, that keeps the
// newest ones; a column without a figure (the core had no window there) is blank. Its capacity
// only grows, so a wider terminal never loses what was kept.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

namespace vorlix::kestrel::top {

class History {
  public:
    // Columns kept before the terminal asks for more.
    static constexpr std::size_t kDefaultCapacity = 512;

    explicit History(std::size_t capacity = kDefaultCapacity);

    // Adds the newest column (kBlank for none); the oldest is dropped when the ring is full.
    void push(float value);
    // Gives the newest column its figure. Nothing when there is no column.
    void set_newest(float value);
    // Keeps at least `capacity` columns from now on; what is held stays, in order.
    void reserve(std::size_t capacity);
    void clear();

    std::size_t size() const { return size_; }
    std::size_t capacity() const { return ring_.size(); }
    // The column `age` steps before the newest (0 is the newest); `age` < size().
    float back(std::size_t age) const;

    static constexpr float kBlank = std::numeric_limits<float>::quiet_NaN();
    static bool blank(float value) { return std::isnan(value); }

  private:
    std::vector<float> ring_;
    std::size_t next_ = 0;  // where the next column goes
    std::size_t size_ = 0;
};

}  // namespace vorlix::kestrel::top
