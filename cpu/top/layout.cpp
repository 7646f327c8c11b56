// The screen's layout.
#include "cpu/top/layout.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "cpu/top/plot.h"

namespace vorlix::kestrel::top {

namespace {

constexpr std::size_t kBarWidth = 20;
// "  QDSP6 [" + bar + "] 100.0%  "
constexpr std::size_t kLabelWidth = 8;
constexpr std::size_t kPlotColumn = kLabelWidth + kBarWidth + 2 + 9;
// The name line and the temperature line above the engines.
constexpr int kInfoRows = 2;

// A figure with `decimals` decimals, as printf's "%.Nf" writes it (the screen is drawn every
// window, and printf's conversion costs several times the rest of a line).
std::string fixed(double value, int decimals) {
    char text[64];
    const std::to_chars_result end =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    if (end.ec != std::errc()) {
        std::snprintf(text, sizeof text, "%.*e", decimals, value);  // too long for a screen
        return text;
    }
    return std::string(text, end.ptr);
}

std::string whole(double value) {
    return fixed(value, 0);
}

std::string tenths(double value) {
    return fixed(value, 1);
}

int engines(const CoreView& core) {
    return core.legacy ? 1 : 3;
}

int block_rows(const CoreView& core) {
    return kInfoRows + engines(core);
}

Colour level_colour(float percent) {
    if (percent >= 80.0f) {
        return Colour::kHigh;
    }
    return percent >= 50.0f ? Colour::kMid : Colour::kLow;
}

// Builds a line piece by piece, remembering where the coloured pieces are.
class LineBuilder {
  public:
    explicit LineBuilder(std::size_t width) : width_(width) { line_.text.reserve(width); }

    std::size_t size() const { return line_.text.size(); }

    LineBuilder& add(const std::string& text) {
        line_.text += text;
        return *this;
    }
    LineBuilder& add(const std::string& text, Colour colour) {
        line_.runs.push_back({line_.text.size(), text.size(), colour});
        return add(text);
    }
    LineBuilder& pad_to(std::size_t column) {
        if (line_.text.size() < column) {
            line_.text.append(column - line_.text.size(), ' ');
        }
        return *this;
    }
    // The line cut at the terminal's width, runs included.
    Line done() {
        if (line_.text.size() > width_) {
            line_.text.resize(width_);
        }
        auto& runs = line_.runs;
        runs.erase(std::remove_if(runs.begin(), runs.end(),
                                  [this](const ColourRun& run) { return run.column >= width_; }),
                   runs.end());
        for (ColourRun& run : runs) {
            run.length = std::min(run.length, width_ - run.column);
        }
        return std::move(line_);
    }

  private:
    std::size_t width_;
    Line line_;
};

std::string clock_text(const CoreView& core) {
    return core.has_figures ? whole(core.clock_hz / 1e6) + " MHz" : std::string("--- MHz");
}

Line name_line(const CoreView& core, bool selected, double now, std::size_t width) {
    LineBuilder line(width);
    line.add(selected ? "> " : "  ");
    if (selected) {
        line.add(core.domain, Colour::kSelected);
    } else {
        line.add(core.domain);
    }
    // The architecture where the platform tells it.
    line.add(core.arch == "unknown" ? std::string() : " " + core.arch);
    line.add("  " + clock_text(core) + "  ");
    const std::string state = session_text(core, now);
    if (core.session == SessionState::kDown) {
        line.add(state, Colour::kDown);
    } else {
        line.add(state);
    }
    return line.done();
}

Line thermal_line(const CoreView& core, std::size_t width) {
    LineBuilder line(width);
    line.add("  ");
    const Temperature& t = core.temperature;
    if (!t.present) {
        line.add("no zone");
    } else {
        std::string text = "temp " + tenths(t.celsius) + " C";
        if (t.has_passive || t.has_critical) {
            text += " (";
            if (t.has_passive) {
                text += "passive " + whole(t.passive);
            }
            if (t.has_critical) {
                text += std::string(t.has_passive ? ", " : "") + "critical " + whole(t.critical);
            }
            text += ")";
        }
        if (t.hot()) {
            line.add(text + " HOT", Colour::kHot);
        } else {
            line.add(text);
        }
    }
    line.add("   ");
    line.add(core.has_remoteproc ? "remoteproc " + core.remoteproc : std::string("no remoteproc"));
    return line.done();
}

// One engine's band: its bar and figure on the first row, its plot beside, `height` rows.
void engine_band(const char* label, float percent, const History& history, bool has_figures,
                 std::size_t height, std::size_t width, std::vector<Line>& out) {
    const std::size_t plot_width = width > kPlotColumn ? width - kPlotColumn : 0;
    const std::vector<std::string> plot = plot_history(history, plot_width, height);
    for (std::size_t row = 0; row < height; ++row) {
        LineBuilder line(width);
        if (row == 0) {
            line.add("  ").add(label).pad_to(kLabelWidth);
            const float clamped = std::clamp(percent, 0.0f, 100.0f);
            const std::size_t filled =
                has_figures ? static_cast<std::size_t>(std::lround(clamped / 100.0f * kBarWidth))
                            : 0;
            line.add("[");
            line.add(std::string(filled, '#'), level_colour(percent));
            line.add(std::string(kBarWidth - filled, '.') + "]");
            if (has_figures) {
                // " %5.1f%%"
                const std::string figure = tenths(static_cast<double>(percent));
                line.pad_to(line.size() + 1 + (figure.size() < 5 ? 5 - figure.size() : 0));
                line.add(figure + "%");
            } else {
                line.add("     -%");
            }
        }
        line.pad_to(kPlotColumn);
        line.add(plot[row]);
        out.push_back(line.done());
    }
}

// A core's block in `rows` rows (at least block_rows()).
void core_block(const CoreView& core, bool selected, double now, int rows, std::size_t width,
                std::vector<Line>& out) {
    out.push_back(name_line(core, selected, now, width));
    out.push_back(thermal_line(core, width));
    const int count = engines(core);
    const std::size_t height = static_cast<std::size_t>(std::max(1, (rows - kInfoRows) / count));
    engine_band("QDSP6", core.qdsp6_now, core.qdsp6, core.has_figures, height, width, out);
    if (!core.legacy) {
        engine_band("HVX", core.hvx_now, core.hvx, core.has_figures, height, width, out);
        engine_band("HMX", core.hmx_now, core.hmx, core.has_figures, height, width, out);
    }
}

Line title_line(const Model& model, const ViewState& view, std::size_t width) {
    LineBuilder line(width);
    std::string text =
        "kestrel-top  " + view.title + "  window " + std::to_string(model.window_ms) + " ms";
    if (!view.status.empty()) {
        text += "  " + view.status;
    }
    line.add(text, Colour::kTitle);
    if (view.paused) {
        line.add("  PAUSED", Colour::kTitle);
    }
    line.add("  (h: help)");
    return line.done();
}

std::vector<Line> help_screen(std::size_t width) {
    static const char* const kHelp[] = {
        "kestrel-top keys",
        "",
        "  q, Ctrl-C      quit (Esc too, except in the single-core view)",
        "  space          pause: the view freezes; paused windows are not kept",
        "  + / -          window 100 ms longer / shorter (100..5000 ms)",
        "  arrows, Tab    choose a core",
        "  Enter          the chosen core alone; Enter or Esc goes back",
        "  [ / ]          replay: one window back / forward (also left/right when paused)",
        "  h, ?           this help",
        "",
        "any key closes this help",
    };
    std::vector<Line> out;
    for (const char* text : kHelp) {
        out.push_back(LineBuilder(width).add(text).done());
    }
    return out;
}

}  // namespace

TermSize minimum_size(const Model& model, bool single) {
    int rows = 1;
    if (single && !model.cores.empty()) {
        rows += block_rows(model.cores.front());
    } else {
        for (const auto& core : model.cores) {
            rows += block_rows(core);
        }
    }
    return {kMinColumns, rows};
}

std::string session_text(const CoreView& core, double now) {
    switch (core.session) {
        case SessionState::kOpening:
            return "opening";
        case SessionState::kSampling:
            return "sampling";
        case SessionState::kDown: {
            const double left = std::max(0.0, std::ceil(core.reopen_at - now - 1e-3));
            return "DOWN: " + core.error + ", reopening in " + whole(left) + " s";
        }
    }
    return "";
}

std::vector<Line> render_screen(const Model& model, const ViewState& view, TermSize size) {
    const std::size_t width = static_cast<std::size_t>(std::max(size.columns, 0));
    if (view.help) {
        std::vector<Line> lines = help_screen(width);
        lines.resize(std::min(lines.size(), static_cast<std::size_t>(std::max(size.rows, 0))));
        return lines;
    }
    if (model.cores.empty()) {
        return {title_line(model, view, width)};
    }
    std::vector<const CoreView*> shown;
    const std::size_t selected = std::min(view.selected, model.cores.size() - 1);
    for (std::size_t i = 0; i < model.cores.size(); ++i) {
        if (!view.single || i == selected) {
            shown.push_back(&model.cores[i]);
        }
    }
    TermSize minimum{kMinColumns, 1};
    for (const CoreView* core : shown) {
        minimum.rows += block_rows(*core);
    }
    if (size.columns < minimum.columns || size.rows < minimum.rows) {
        char text[160];
        std::snprintf(text, sizeof text, "kestrel-top needs %dx%d (%zu core%s), have %dx%d",
                      minimum.columns, minimum.rows, shown.size(), shown.size() == 1 ? "" : "s",
                      size.columns, size.rows);
        return {LineBuilder(width).add(text).done()};
    }

    std::vector<Line> lines;
    lines.push_back(title_line(model, view, width));
    // Spare rows: a blank line between blocks first, then taller plots.
    int spare = size.rows - minimum.rows;
    const int gaps = static_cast<int>(shown.size()) - 1;
    const bool separated = spare >= gaps;
    if (separated) {
        spare -= gaps;
    }
    const int extra = spare / static_cast<int>(shown.size());
    for (std::size_t i = 0; i < shown.size(); ++i) {
        if (i > 0 && separated) {
            lines.push_back(Line{});
        }
        const bool is_selected = !view.single && shown[i] == &model.cores[selected];
        core_block(*shown[i], is_selected, view.now, block_rows(*shown[i]) + extra, width, lines);
    }
    return lines;
}

}  // namespace vorlix::kestrel::top
