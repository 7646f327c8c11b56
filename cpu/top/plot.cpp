// A history as a text plot.
#include "cpu/top/plot.h"

#include <algorithm>
#include <cmath>

namespace vorlix::kestrel::top {

int plot_level(float percent, std::size_t height) {
    const int steps = static_cast<int>(height) * kPlotSteps;
    if (!(percent > 0.0f)) {
        return 0;
    }
    const int level = static_cast<int>(std::lround(std::min(percent, 100.0f) / 100.0f * steps));
    return std::max(level, 1);
}

std::vector<std::string> plot_history(const History& history, std::size_t width,
                                      std::size_t height) {
    std::vector<std::string> rows(height, std::string(width, ' '));
    const std::size_t columns = std::min(width, history.size());
    for (std::size_t age = 0; age < columns; ++age) {
        const std::size_t column = width - 1 - age;
        int level = plot_level(history.back(age), height);
        // Filled from the bottom row up.
        for (std::size_t row = height; row-- > 0 && level > 0;) {
            rows[row][column] = kPlotRamp[std::min(level, kPlotSteps)];
            level -= kPlotSteps;
        }
    }
    return rows;
}

}  // namespace vorlix::kestrel::top
