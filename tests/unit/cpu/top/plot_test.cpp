#include <gtest/gtest.h>

#include <string>

#include "cpu/top/plot.h"

namespace vorlix::kestrel::top {
namespace {

TEST(Plot, LevelsScaleToTheHeightWithNothingForZeroAndSomethingForAnyLoad) {
    // One row: seven steps.
    EXPECT_EQ(plot_level(0.0f, 1), 0);
    EXPECT_EQ(plot_level(-3.0f, 1), 0);
    EXPECT_EQ(plot_level(0.2f, 1), 1);  // rounds to 0, shown all the same
    EXPECT_EQ(plot_level(50.0f, 1), 4);
    EXPECT_EQ(plot_level(100.0f, 1), 7);
    EXPECT_EQ(plot_level(250.0f, 1), 7);
    // Four rows: 28 steps.
    EXPECT_EQ(plot_level(25.0f, 4), 7);
    EXPECT_EQ(plot_level(60.0f, 4), 17);
}

// Row `row` of the plot, appended after a mark that must stay in front of it.
std::string plot_row(const History& history, std::size_t width, std::size_t height,
                     std::size_t row) {
    std::string out = "|";
    append_plot_row(history, width, height, row, &out);
    return out;
}

TEST(Plot, NewestAtTheRightColumnsFilledFromTheBottom) {
    History history;
    for (float v : {100.0f, 0.0f, 60.0f, 10.0f}) {
        history.push(v);
    }
    // Six columns, two rows (14 steps): 100 % fills both rows, 60 % one row and one step
    // more (8.4 -> 8), 10 % one step; the two columns before the first sample are blank.
    EXPECT_EQ(plot_row(history, 6, 2, 0), "|  # . ");
    EXPECT_EQ(plot_row(history, 6, 2, 1), "|  # #.");

    // Fewer columns than samples: only the newest are drawn.
    EXPECT_EQ(plot_row(history, 2, 1, 0), "|=.");
}

}  // namespace
}  // namespace vorlix::kestrel::top
