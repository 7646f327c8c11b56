#include <gtest/gtest.h>

#include <vector>

#include "cpu/top/history.h"

namespace vorlix::kestrel::top {
namespace {

std::vector<float> newest_first(const History& history) {
    std::vector<float> out;
    for (std::size_t age = 0; age < history.size(); ++age) {
        out.push_back(history.back(age));
    }
    return out;
}

TEST(History, AFullRingDropsTheOldestAndGrowingKeepsTheOrder) {
    History history(3);
    for (float v : {1.0f, 2.0f, 3.0f, 4.0f, 5.0f}) {
        history.push(v);
    }
    // Wrapped twice past the start: the three newest remain.
    EXPECT_EQ(newest_first(history), (std::vector<float>{5.0f, 4.0f, 3.0f}));

    // Growing a wrapped ring (a wider terminal) keeps every sample, then takes more.
    history.reserve(5);
    EXPECT_EQ(history.capacity(), 5u);
    EXPECT_EQ(newest_first(history), (std::vector<float>{5.0f, 4.0f, 3.0f}));
    for (float v : {6.0f, 7.0f, 8.0f}) {
        history.push(v);
    }
    EXPECT_EQ(newest_first(history), (std::vector<float>{8.0f, 7.0f, 6.0f, 5.0f, 4.0f}));

    // A narrower request never shrinks it.
    history.reserve(2);
    EXPECT_EQ(history.capacity(), 5u);
    EXPECT_EQ(history.size(), 5u);
}

}  // namespace
}  // namespace vorlix::kestrel::top
