// A history drawn as a plot of W columns by H rows of text: one column per sample, the newest at
// the right, a column's height its share of 0..100 %. Each row is split into seven steps, drawn
// with the characters of kPlotRamp, so that a one-row plot still tells 10 % from 90 %.
#pragma once

#include <cstddef>
#include <string>

#include "cpu/top/history.h"

namespace vorlix::kestrel::top {

// From an empty cell to a full one.
inline constexpr const char kPlotRamp[] = " .:-=+*#";
inline constexpr int kPlotSteps = 7;

// How many steps of a plot `height` rows high a figure of `percent` fills: 0 only for 0 (or
// less), the full height for 100 (or more), and at least one step for anything above 0.
int plot_level(float percent, std::size_t height);

// Appends row `row` (0 is the top) of the plot to `out`: exactly `width` characters. Columns
// without a sample (fewer samples than columns) are blank.
void append_plot_row(const History& history, std::size_t width, std::size_t height, std::size_t row,
                     std::string* out);

}  // namespace vorlix::kestrel::top
