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

void append_plot_row(const History& history, std::size_t width, std::size_t height, std::size_t row,
                     std::string* out) {
    const std::size_t columns = std::min(width, history.size());
    out->append(width - columns, ' ');
    // The steps of the rows below this one are filled first.
    const int below = static_cast<int>(height - 1 - row) * kPlotSteps;
    for (std::size_t age = columns; age-- > 0;) {
        const int level = plot_level(history.back(age), height) - below;
        out->push_back(kPlotRamp[std::clamp(level, 0, kPlotSteps)]);
    }
}

}  // namespace vorlix::kestrel::top
