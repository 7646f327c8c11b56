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

// The lines of a screen, written over those of the last one so that their storage serves again
// (the screen is laid out every window).
class Lines {
  public:
    Lines(std::vector<Line>* storage, std::size_t width) : storage_(*storage), width_(width) {}
    ~Lines() { storage_.resize(used_); }
    Lines(const Lines&) = delete;
    Lines& operator=(const Lines&) = delete;

    std::size_t width() const { return width_; }
    std::size_t size() const { return used_; }
    // The next line, empty.
    Line& next() {
        if (used_ == storage_.size()) {
            storage_.emplace_back();
        }
        Line& line = storage_[used_++];
        line.text.clear();
        line.runs.clear();
        return line;
    }

  private:
    std::vector<Line>& storage_;
    std::size_t width_;
    std::size_t used_ = 0;
};

// Builds the next line piece by piece, remembering where the coloured pieces are; at its end
// the line is cut at the terminal's width, runs included.
class LineBuilder {
  public:
    explicit LineBuilder(Lines& lines) : line_(lines.next()), width_(lines.width()) {}
    ~LineBuilder() {
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
    }
    LineBuilder(const LineBuilder&) = delete;
    LineBuilder& operator=(const LineBuilder&) = delete;

    std::size_t size() const { return line_.text.size(); }
    std::string& text() { return line_.text; }

    LineBuilder& add(const std::string& text) {
        line_.text += text;
        return *this;
    }
    LineBuilder& add(const std::string& text, Colour colour) {
        line_.runs.push_back({line_.text.size(), text.size(), colour});
        return add(text);
    }
    LineBuilder& add(std::size_t count, char c, Colour colour) {
        line_.runs.push_back({line_.text.size(), count, colour});
        line_.text.append(count, c);
        return *this;
    }
    LineBuilder& pad_to(std::size_t column) {
        if (line_.text.size() < column) {
            line_.text.append(column - line_.text.size(), ' ');
        }
        return *this;
    }

  private:
    Line& line_;
    std::size_t width_;
};

std::string clock_text(const CoreView& core) {
    return core.has_figures ? whole(core.clock_hz / 1e6) + " MHz" : std::string("--- MHz");
}

void name_line(const CoreView& core, bool selected, double now, Lines& out) {
    LineBuilder line(out);
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
}

void thermal_line(const CoreView& core, Lines& out) {
    LineBuilder line(out);
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
}

// One engine's band: its bar and figure on the first row, its plot beside, `height` rows.
void engine_band(const char* label, float percent, const History& history, bool has_figures,
                 std::size_t height, Lines& out) {
    const std::size_t width = out.width();
    const std::size_t plot_width = width > kPlotColumn ? width - kPlotColumn : 0;
    for (std::size_t row = 0; row < height; ++row) {
        LineBuilder line(out);
        if (row == 0) {
            line.add("  ").add(label).pad_to(kLabelWidth);
            const float clamped = std::clamp(percent, 0.0f, 100.0f);
            const std::size_t filled =
                has_figures ? static_cast<std::size_t>(std::lround(clamped / 100.0f * kBarWidth))
                            : 0;
            line.add("[");
            line.add(filled, '#', level_colour(percent));
            line.text().append(kBarWidth - filled, '.');
            line.add("]");
            if (has_figures) {
                // " %5.1f%%"
                const std::string figure = tenths(static_cast<double>(percent));
                line.pad_to(line.size() + 1 + (figure.size() < 5 ? 5 - figure.size() : 0));
                line.add(figure).add("%");
            } else {
                line.add("     -%");
            }
        }
        line.pad_to(kPlotColumn);
        append_plot_row(history, plot_width, height, row, &line.text());
    }
}

// A core's block in `rows` rows (at least block_rows()).
void core_block(const CoreView& core, bool selected, double now, int rows, Lines& out) {
    name_line(core, selected, now, out);
    thermal_line(core, out);
    const int count = engines(core);
    const std::size_t height = static_cast<std::size_t>(std::max(1, (rows - kInfoRows) / count));
    engine_band("QDSP6", core.qdsp6_now, core.qdsp6, core.has_figures, height, out);
    if (!core.legacy) {
        engine_band("HVX", core.hvx_now, core.hvx, core.has_figures, height, out);
        engine_band("HMX", core.hmx_now, core.hmx, core.has_figures, height, out);
    }
}

void title_line(const Model& model, const ViewState& view, Lines& out) {
    LineBuilder line(out);
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
}

// As many lines of the keys as `rows` holds.
void help_screen(std::size_t rows, Lines& out) {
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
    for (const char* text : kHelp) {
        if (out.size() == rows) {
            break;
        }
        LineBuilder(out).add(text);
    }
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

void render_screen(const Model& model, const ViewState& view, TermSize size,
                   std::vector<Line>* lines) {
    Lines out(lines, static_cast<std::size_t>(std::max(size.columns, 0)));
    if (view.help) {
        help_screen(static_cast<std::size_t>(std::max(size.rows, 0)), out);
        return;
    }
    if (model.cores.empty()) {
        title_line(model, view, out);
        return;
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
        LineBuilder(out).add(text);
        return;
    }

    title_line(model, view, out);
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
            out.next();
        }
        const bool is_selected = !view.single && shown[i] == &model.cores[selected];
        core_block(*shown[i], is_selected, view.now, block_rows(*shown[i]) + extra, out);
    }
}

}  // namespace vorlix::kestrel::top
