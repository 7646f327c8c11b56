#include <gtest/gtest.h>

#include <string>
#include <vector>

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

TEST(Plot, NewestAtTheRightColumnsFilledFromTheBottom) {
    History history;
    for (float v : {100.0f, 0.0f, 60.0f, 10.0f}) {
        history.push(v);
    }
    // Six columns, two rows (14 steps): 100 % fills both rows, 60 % one row and one step
    // more (8.4 -> 8), 10 % one step; the two columns before the first sample are blank.
    const std::vector<std::string> rows = plot_history(history, 6, 2);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], "  # . ");
    EXPECT_EQ(rows[1], "  # #.");

    // Fewer columns than samples: only the newest are drawn.
    const std::vector<std::string> narrow = plot_history(history, 2, 1);
    EXPECT_EQ(narrow, (std::vector<std::string>{"=."}));
}

}  // namespace
}  // namespace vorlix::kestrel::top
