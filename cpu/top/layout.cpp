// The screen's layout.
#include "cpu/top/layout.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string_view>

namespace vorlix::kestrel::top {

namespace {

// The characters of frames, bars and plots: Unicode box drawing and block elements, or ASCII.
struct Glyphs {
    std::string_view horizontal;
    std::string_view vertical;
    std::string_view corners[3][3];  // [top, middle, bottom][left, junction, right]
    std::string_view bar_open;
    std::string_view bar_close;
    std::string_view bar_full;
    const std::string_view* bar_parts;  // eighths of a cell, 1..7; null: whole cells only
    std::string_view bar_empty;
    const std::string_view* plot;  // an empty cell to a full one
    int plot_steps;
    std::string_view axis_tick;
    std::string_view axis_line;
    std::string_view degrees;
    std::string_view separator;
};

constexpr std::string_view kBarEighths[] = {"", "▏", "▎", "▍", "▌", "▋", "▊", "▉"};
constexpr std::string_view kBlocks[] = {" ", "▁", "▂", "▃", "▄", "▅", "▆", "▇", "█"};
constexpr std::string_view kAsciiLevels[] = {" ", ".", "-", "=", "#"};

constexpr Glyphs kUnicode = {
    "─",                                                  // horizontal
    "│",                                                  // vertical
    {{"┌", "┬", "┐"}, {"├", "┼", "┤"}, {"└", "┴", "┘"}},  // corners
    "▕",                                                  // bar_open
    "▏",                                                  // bar_close
    "█",                                                  // bar_full
    kBarEighths,                                          // bar_parts
    " ",                                                  // bar_empty
    kBlocks,                                              // plot
    8,                                                    // plot_steps
    "┤",                                                  // axis_tick
    "│",                                                  // axis_line
    " °C",                                                // degrees
    " · ",                                                // separator
};
constexpr Glyphs kAscii = {
    "-",                                                  // horizontal
    "|",                                                  // vertical
    {{"+", "+", "+"}, {"+", "+", "+"}, {"+", "+", "+"}},  // corners
    "[",                                                  // bar_open
    "]",                                                  // bar_close
    "#",                                                  // bar_full
    nullptr,                                              // bar_parts
    ".",                                                  // bar_empty
    kAsciiLevels,                                         // plot
    4,                                                    // plot_steps
    "+",                                                  // axis_tick
    "|",                                                  // axis_line
    " C",                                                 // degrees
    " | ",                                                // separator
};

constexpr const char* const kEngines[] = {"QDSP6", "HVX", "HMX"};
constexpr std::size_t kLabelWidth = 7;   // " QDSP6 "
constexpr std::size_t kFigureWidth = 7;  // " 100.0%"
constexpr std::size_t kStatsWidth = 22;  // "mean 100.0  peak 100.0"
constexpr std::size_t kAxisWidth = 4;    // "100┤"
constexpr std::size_t kShortestPlot = 12;

// A figure with `decimals` decimals, as printf's "%.Nf" writes it (the screen is laid out every
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

// The figures of the screen, every window: to a tenth, with whole numbers' arithmetic where they
// are small enough (to_chars' exact rounding costs many times more; the last digit may differ
// from printf's at an exact half).
std::string tenths(double value) {
    if (!(std::fabs(value) < 1e9)) {
        return fixed(value, 1);
    }
    const long long scaled = std::llround(value * 10.0);
    const unsigned long long magnitude =
        static_cast<unsigned long long>(scaled < 0 ? -scaled : scaled);
    std::string text = scaled < 0 ? "-" : "";
    text += std::to_string(magnitude / 10);
    text += '.';
    text += static_cast<char>('0' + magnitude % 10);
    return text;
}

// `text` right-aligned in `width` columns (ASCII).
std::string right(const std::string& text, std::size_t width) {
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

// What comes from outside (a recording, sysfs) shown safely: printable ASCII only.
std::string printable(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (c < 0x20 || c > 0x7e) {
            c = '?';
        }
    }
    return out;
}

std::size_t columns_of(std::string_view text) {
    std::size_t count = 0;
    for (const char c : text) {
        count += (static_cast<unsigned char>(c) & 0xc0) != 0x80 ? 1 : 0;
    }
    return count;
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

// Builds a line piece by piece, in columns, cut at the terminal's width; a coloured piece is a
// run (joined to the run before it when of the same colour and adjacent).
class LineBuilder {
  public:
    explicit LineBuilder(Lines& lines)
        : line_(lines.next()), width_(lines.width()), limit_(lines.width()) {}

    std::size_t column() const { return column_; }
    // Nothing is added beyond `column` (a panel's edge) until the limit changes again.
    void limit(std::size_t column) { limit_ = std::min(column, width_); }

    LineBuilder& add(std::string_view text) {
        const std::size_t columns = columns_of(text);
        if (column_ + columns <= limit_) {
            line_.text.append(text);
            column_ += columns;
            return *this;
        }
        for (std::size_t i = 0; i < text.size() && column_ < limit_;) {
            std::size_t end = i + 1;
            while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xc0) == 0x80) {
                ++end;
            }
            line_.text.append(text, i, end - i);
            ++column_;
            i = end;
        }
        return *this;
    }
    LineBuilder& add(std::string_view text, Colour colour) {
        const std::size_t from = column_;
        add(text);
        mark(from, colour);
        return *this;
    }
    // Coloured only when `coloured`.
    LineBuilder& add(std::string_view text, bool coloured, Colour colour) {
        return coloured ? add(text, colour) : add(text);
    }
    LineBuilder& repeat(std::string_view glyph, std::size_t count) {
        const std::size_t cells = std::min(count, limit_ > column_ ? limit_ - column_ : 0);
        if (glyph.size() == 1) {
            line_.text.append(cells, glyph.front());
        } else {
            for (std::size_t i = 0; i < cells; ++i) {
                line_.text.append(glyph);
            }
        }
        column_ += cells;
        return *this;
    }
    LineBuilder& repeat(std::string_view glyph, std::size_t count, Colour colour) {
        const std::size_t from = column_;
        repeat(glyph, count);
        mark(from, colour);
        return *this;
    }
    // One cell of a plot or frame: `glyph` is one character.
    LineBuilder& cell(std::string_view glyph) {
        if (column_ < limit_) {
            line_.text.append(glyph);
            ++column_;
        }
        return *this;
    }
    LineBuilder& cell(std::string_view glyph, Colour colour) {
        const std::size_t from = column_;
        cell(glyph);
        mark(from, colour);
        return *this;
    }
    LineBuilder& pad_to(std::size_t column) {
        return repeat(" ", column > column_ ? column - column_ : 0);
    }

  private:
    void mark(std::size_t from, Colour colour) {
        if (column_ == from) {
            return;
        }
        auto& runs = line_.runs;
        if (!runs.empty() && runs.back().colour == colour &&
            runs.back().column + runs.back().length == from) {
            runs.back().length += column_ - from;
        } else {
            runs.push_back({from, column_ - from, colour});
        }
    }

    Line& line_;
    std::size_t width_;
    std::size_t limit_;
    std::size_t column_ = 0;
};

// How an engine's band is laid out in a panel `inner` columns wide.
struct Band {
    std::size_t height = 1;
    std::size_t bar = 6;        // cells between the bar's ends
    bool stats_beside = false;  // the mean and peak after the figure (a one-row band), else below
    std::size_t axis = 0;       // the scale's columns before the plot
    std::size_t plot = 0;       // the plot's columns

    std::size_t left() const {
        return kLabelWidth + bar + 2 + kFigureWidth + (stats_beside ? 2 + kStatsWidth : 0) + 1;
    }
};

Band band_for(std::size_t inner, std::size_t height) {
    Band band;
    band.height = height;
    band.axis = height >= 2 ? kAxisWidth : 0;
    for (const bool beside : {height == 1, false}) {
        band.stats_beside = beside;
        band.bar = 0;
        const std::size_t fixed = band.left() + band.axis;
        const std::size_t rest = inner > fixed ? inner - fixed : 0;
        band.bar = std::clamp<std::size_t>(rest / 4, 6, 30);
        band.plot = rest > band.bar ? rest - band.bar : 0;
        if (band.plot >= kShortestPlot || !beside) {
            break;
        }
    }
    return band;
}

// "34 s", "5 min", "2 h": the span `seconds` long.
std::string span_text(double seconds) {
    if (seconds < 120.0) {
        return whole(seconds) + " s";
    }
    if (seconds < 7200.0) {
        return whole(seconds / 60.0) + " min";
    }
    return whole(seconds / 3600.0) + " h";
}

// How many steps of a plot `height` rows of `steps` each a figure fills: 0 only for 0 (or less),
// the full height for 100 (or more), and at least one step for anything above 0.
int plot_level(float percent, std::size_t height, int steps) {
    const int total = static_cast<int>(height) * steps;
    if (!(percent > 0.0f)) {
        return 0;
    }
    const int level = static_cast<int>(std::min(percent, 100.0f) * 0.01f * total + 0.5f);
    return std::max(level, 1);
}

struct Stats {
    bool any = false;
    float mean = 0.0f;
    float peak = 0.0f;
};

// The mean and peak of the newest `columns` columns with a figure.
Stats stats_of(const History& history, std::size_t columns) {
    Stats stats;
    double sum = 0.0;
    std::size_t count = 0;
    for (std::size_t age = 0; age < std::min(columns, history.size()); ++age) {
        const float value = history.back(age);
        if (History::blank(value)) {
            continue;
        }
        sum += value;
        stats.peak = count == 0 ? value : std::max(stats.peak, value);
        ++count;
    }
    stats.any = count > 0;
    stats.mean = count > 0 ? static_cast<float>(sum / count) : 0.0f;
    return stats;
}

class PanelPainter {
  public:
    PanelPainter(const Glyphs& glyphs, const Model& model, const ViewState& view)
        : g_(glyphs), model_(model), view_(view) {}

    // The frame's title of `core` into `line`, over `inner` columns (and the corner before it).
    void title(LineBuilder& line, const CoreView* core, bool selected, std::size_t inner) const;
    // Row `row` of the panel's content (0: the row that labels the figures or tells what failed;
    // then the engines' bands).
    void content(LineBuilder& line, const CoreView* core, const Band& band, std::size_t row,
                 std::size_t inner) const;

  private:
    void info_row(LineBuilder& line, const CoreView& core, const Band& band,
                  std::size_t inner) const;
    void band_row(LineBuilder& line, const CoreView& core, std::size_t engine, const Band& band,
                  std::size_t row) const;
    void bar(LineBuilder& line, float percent, bool has, std::size_t cells) const;
    void plot_row(LineBuilder& line, const History& history, const Band& band,
                  std::size_t row) const;

    const Glyphs& g_;
    const Model& model_;
    const ViewState& view_;
};

void PanelPainter::title(LineBuilder& line, const CoreView* core, bool selected,
                         std::size_t inner) const {
    const std::size_t end = line.column() + inner;
    line.limit(end);
    if (core == nullptr) {
        line.repeat(g_.horizontal, inner);
        line.limit(SIZE_MAX);
        return;
    }
    line.add(selected ? ">" : g_.horizontal).add(" ");
    const std::string name =
        printable(core->domain) + (core->arch == "unknown" ? "" : " " + printable(core->arch));
    line.add(name, selected, Colour::kSelected).add(g_.separator);
    if (core->has_figures) {
        line.add(whole(core->clock_hz / 1e6) + " MHz");
    } else {
        line.add("- MHz", Colour::kDim);
    }
    line.add(g_.separator);
    const bool down = core->session == SessionState::kDown;
    line.add(session_text(*core, view_.now), core->session != SessionState::kSampling,
             down ? Colour::kDown : Colour::kDim);
    line.add(" ");
    // What the kernel tells, at the right; beyond what fits, the word "remoteproc", then the
    // processor, then the temperature are left out.
    const Temperature& t = core->temperature;
    const std::string temperature =
        t.present ? tenths(t.celsius) + std::string(g_.degrees) + (t.hot() ? " HOT" : "")
                  : "no zone";
    const bool has_proc = core->has_remoteproc;
    const std::string proc = has_proc ? printable(core->remoteproc) : "no remoteproc";
    const bool running =
        has_proc && classify_remoteproc_state(core->remoteproc) == DspRun::kRunning;
    const std::size_t separator = columns_of(g_.separator);
    const std::size_t room = end > line.column() + 4 ? end - line.column() - 4 : 0;
    const std::size_t lengths[] = {
        0, columns_of(temperature), columns_of(temperature) + separator + proc.size(),
        columns_of(temperature) + separator + proc.size() + (has_proc ? 11 : 0)};
    std::size_t pieces = 3;
    while (pieces > 0 && lengths[pieces] > room) {
        --pieces;
    }
    line.repeat(g_.horizontal, room - lengths[pieces] + 1).add(" ");
    if (pieces >= 1) {
        line.add(temperature, t.hot(), Colour::kHot);
    }
    if (pieces >= 2) {
        line.add(g_.separator).add(pieces >= 3 && has_proc ? "remoteproc " : "");
        line.add(proc, !running, Colour::kDown);
    }
    line.add(" ").repeat(g_.horizontal, end > line.column() ? end - line.column() : 0);
    line.limit(SIZE_MAX);
}

void PanelPainter::content(LineBuilder& line, const CoreView* core, const Band& band,
                           std::size_t row, std::size_t inner) const {
    const std::size_t end = line.column() + inner;
    line.limit(end);
    if (core != nullptr) {
        if (row == 0) {
            info_row(line, *core, band, inner);
        } else {
            const std::size_t engine = (row - 1) / band.height;
            band_row(line, *core, engine, band, (row - 1) % band.height);
        }
    }
    line.pad_to(end);
    line.limit(SIZE_MAX);
}

void PanelPainter::info_row(LineBuilder& line, const CoreView& core, const Band& band,
                            std::size_t inner) const {
    const std::size_t start = line.column();
    line.add(" ");
    if (core.session == SessionState::kDown) {
        line.add("DOWN: " + printable(core.error), Colour::kDown);
        return;
    }
    const Temperature& t = core.temperature;
    if (t.has_passive || t.has_critical) {
        std::string trips = t.has_passive ? "passive " + whole(t.passive) : "";
        if (t.has_critical) {
            trips += (t.has_passive ? ", critical " : "critical ") + whole(t.critical);
        }
        line.add(trips + std::string(g_.degrees));
    }
    // The plots' span (a column a window) and, without a scale beside them, their range.
    const double window_s = (model_.window_ms != 0 ? model_.window_ms : 1000) / 1000.0;
    const std::string span = "last " + span_text(static_cast<double>(band.plot) * window_s) +
                             (band.axis == 0 ? ", 0-100 %" : "");
    const std::size_t at = start + inner > span.size() + 1 ? start + inner - span.size() - 1 : 0;
    if (at > line.column()) {
        line.pad_to(at).add(span);
    }
}

void PanelPainter::bar(LineBuilder& line, float percent, bool has, std::size_t cells) const {
    line.add(g_.bar_open);
    if (!has) {
        line.repeat("-", cells, Colour::kDim).add(g_.bar_close);
        return;
    }
    const float share = std::clamp(percent, 0.0f, 100.0f) / 100.0f;
    const Colour colour = load_colour(percent);
    std::size_t used = 0;
    if (g_.bar_parts != nullptr) {
        const auto eighths = static_cast<std::size_t>(std::lround(share * cells * 8));
        line.repeat(g_.bar_full, eighths / 8, colour);
        used = eighths / 8;
        if (eighths % 8 != 0) {
            line.add(g_.bar_parts[eighths % 8], colour);
            ++used;
        }
    } else {
        used = static_cast<std::size_t>(std::lround(share * cells));
        line.repeat(g_.bar_full, used, colour);
    }
    line.repeat(g_.bar_empty, cells - used).add(g_.bar_close);
}

void PanelPainter::band_row(LineBuilder& line, const CoreView& core, std::size_t engine,
                            const Band& band, std::size_t row) const {
    const History* const histories[] = {&core.qdsp6, &core.hvx, &core.hmx};
    const float now[] = {core.qdsp6_now, core.hvx_now, core.hmx_now};
    const History& history = *histories[engine];
    const std::size_t start = line.column();
    // The mean and the peak, on the first row beside the figure or on the second below it.
    const bool stats_row = (row == 0 && band.stats_beside) || row == 1;
    const Stats stats = stats_row && core.has_figures ? stats_of(history, band.plot) : Stats();
    const bool show_stats = core.has_figures && stats.any;
    const std::string stats_text = show_stats ? "mean " + right(tenths(stats.mean), 5) + "  peak " +
                                                    right(tenths(stats.peak), 5)
                                              : std::string();
    if (row == 0) {
        line.add(" ").add(kEngines[engine]).pad_to(start + kLabelWidth);
        bar(line, now[engine], core.has_figures, band.bar);
        if (core.has_figures) {
            line.add(right(tenths(now[engine]) + "%", kFigureWidth));
        } else {
            line.add(right("-", kFigureWidth - 1), Colour::kDim).add(" ");
        }
        if (band.stats_beside && show_stats) {
            line.add("  " + stats_text);
        }
    } else if (row == 1 && show_stats) {
        line.add(" " + stats_text);
    }
    line.pad_to(start + band.left());
    plot_row(line, history, band, row);
}

void PanelPainter::plot_row(LineBuilder& line, const History& history, const Band& band,
                            std::size_t row) const {
    if (band.axis != 0) {
        const char* label = "   ";
        if (row == 0) {
            label = "100";
        } else if (row + 1 == band.height) {
            label = "  0";
        } else if (row == (band.height - 1) / 2 && band.height >= 3) {
            label = " 50";
        }
        const bool tick = std::string_view(label) != "   ";
        line.add(label, Colour::kDim).add(tick ? g_.axis_tick : g_.axis_line, Colour::kDim);
    }
    // The steps of the rows below this one are filled first.
    const int below = static_cast<int>(band.height - 1 - row) * g_.plot_steps;
    const std::size_t held = std::min(history.size(), band.plot);
    line.repeat(" ", band.plot - held);
    for (std::size_t age = held; age-- > 0;) {
        const float value = history.back(age);
        const int level =
            History::blank(value) ? 0 : plot_level(value, band.height, g_.plot_steps) - below;
        if (level <= 0) {
            line.cell(" ");
        } else {
            line.cell(g_.plot[std::min(level, g_.plot_steps)], load_colour(value));
        }
    }
}

// A grid of panels: its columns, and the rows of panels shown.
struct Grid {
    std::size_t columns = 1;
    std::size_t rows = 1;     // rows of panels, all of them
    std::size_t shown = 1;    // rows of panels that fit
    std::size_t content = 1;  // rows inside a panel
    Band band;
};

// The first and last rows of the frame take a line each; a panel's title a line; its content
// the info row and each engine's band.
bool plan_grid(std::size_t panels, std::size_t engines, TermSize size, bool single, Grid* grid) {
    const std::size_t width = static_cast<std::size_t>(size.columns);
    const std::size_t height = static_cast<std::size_t>(size.rows);
    // Side by side from 80 columns a panel, balanced: 2x2 rather than 3 and 1.
    grid->columns = single ? 1 : std::clamp<std::size_t>(width / 80, 1, panels);
    grid->rows = (panels + grid->columns - 1) / grid->columns;
    grid->columns = (panels + grid->rows - 1) / grid->rows;
    const std::size_t available = height - 2;  // the top line and the bottom frame
    const std::size_t smallest = 2 + engines;  // title, info, one row an engine
    grid->shown = std::min(grid->rows, available / smallest);
    if (grid->shown == 0) {
        return false;
    }
    const std::size_t each = available / grid->shown;
    const std::size_t band_height = std::max<std::size_t>(1, (each - 2) / engines);
    grid->content = 1 + band_height * engines;
    const std::size_t inner = (width - 1) / grid->columns - 1;
    grid->band = band_for(inner, band_height);
    return true;
}

void title_line(const Model& model, const ViewState& view, const std::string& extra, Lines& out) {
    LineBuilder line(out);
    line.add("kestrel-top  " + printable(view.title) + "  window " +
                 std::to_string(model.window_ms) + " ms",
             Colour::kTitle);
    if (!view.status.empty()) {
        line.add("  " + view.status);
    }
    if (!extra.empty()) {
        line.add("  " + extra);
    }
    if (view.paused) {
        line.add("  PAUSED", Colour::kTitle);
    }
    line.add("  h: help");
}

// `text` (ASCII) in as many lines of the width as it takes, broken between words, at most `rows`.
void wrapped(const std::string& text, std::size_t rows, Lines& out) {
    std::size_t start = 0;
    while (start < text.size() && out.size() < rows && out.width() > 0) {
        std::size_t end = std::min(text.size(), start + out.width());
        const std::size_t space = text.rfind(' ', end);
        if (end < text.size() && space != std::string::npos && space > start) {
            end = space;
        }
        LineBuilder(out).add(std::string_view(text).substr(start, end - start));
        start = text.find_first_not_of(' ', end);
        start = start == std::string::npos ? text.size() : start;
    }
}

// As many lines of the keys as `rows` holds.
void help_screen(std::size_t rows, Lines& out) {
    static const char* const kHelp[] = {
        "kestrel-top keys",
        "",
        "  q, Ctrl-C      quit (Esc too, except in the single-core view)",
        "  space          pause: the view freezes; the windows meanwhile stay blank",
        "  + / -          window 100 ms longer / shorter (100..5000 ms)",
        "  arrows, Tab    choose a core (the panels scroll to it)",
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

// The frame's line above panel row `row` (or below the last, at `row` == rows shown), with the
// titles of the panels below it.
void frame_line(const PanelPainter& painter, const Glyphs& g, const Grid& grid,
                const std::vector<const CoreView*>& row_cores, std::size_t selected_column,
                std::size_t position, std::size_t width, Lines& out) {
    LineBuilder line(out);
    const std::size_t inner = (width - 1) / grid.columns - 1;
    for (std::size_t column = 0; column < grid.columns; ++column) {
        line.add(g.corners[position][column == 0 ? 0 : 1]);
        const CoreView* core = column < row_cores.size() ? row_cores[column] : nullptr;
        painter.title(line, core, column == selected_column, inner);
    }
    line.add(g.corners[position][2]);
}

}  // namespace

Colour load_colour(float percent) {
    if (percent >= 80.0f) {
        return Colour::kHigh;
    }
    return percent >= 50.0f ? Colour::kMid : Colour::kLow;
}

std::string session_text(const CoreView& core, double now) {
    switch (core.session) {
        case SessionState::kOpening:
            return "opening";
        case SessionState::kSampling:
            return "sampling";
        case SessionState::kDown: {
            const double left = std::ceil(core.reopen_at - now - 1e-3);
            return left < 1.0 ? "DOWN, reopening now" : "DOWN, reopening in " + whole(left) + " s";
        }
    }
    return "";
}

namespace {

// Scrolls the panels by rows so that the selected one's row shows; what the title then says of
// the panels shown ("cores 1-2 of 4"; nothing when all show).
std::string scroll_to(std::size_t selected_row, const Grid& grid, std::size_t panels,
                      ViewState& view) {
    view.scroll = std::min(view.scroll, grid.rows - grid.shown);
    if (selected_row < view.scroll) {
        view.scroll = selected_row;
    } else if (selected_row >= view.scroll + grid.shown) {
        view.scroll = selected_row - grid.shown + 1;
    }
    if (grid.shown >= grid.rows) {
        return std::string();
    }
    const std::size_t first = view.scroll * grid.columns;
    const std::size_t last = std::min(panels, first + grid.shown * grid.columns);
    return "cores " + std::to_string(first + 1) + "-" + std::to_string(last) + " of " +
           std::to_string(panels);
}

}  // namespace

void render_screen(const Model& model, ViewState& view, TermSize size, std::vector<Line>* lines) {
    Lines out(lines, static_cast<std::size_t>(std::max(size.columns, 0)));
    if (size.columns < kSmallest.columns || size.rows < kSmallest.rows) {
        char text[96];
        std::snprintf(text, sizeof text, "kestrel-top needs at least %dx%d, have %dx%d",
                      kSmallest.columns, kSmallest.rows, size.columns, size.rows);
        wrapped(text, static_cast<std::size_t>(std::max(size.rows, 0)), out);
        return;
    }
    if (view.help) {
        help_screen(static_cast<std::size_t>(size.rows), out);
        return;
    }
    if (model.cores.empty()) {
        title_line(model, view, "", out);
        return;
    }
    const Glyphs& g = view.unicode ? kUnicode : kAscii;
    const std::size_t selected = std::min(view.selected, model.cores.size() - 1);
    std::vector<const CoreView*> shown;
    for (std::size_t i = 0; i < model.cores.size(); ++i) {
        if (!view.single || i == selected) {
            shown.push_back(&model.cores[i]);
        }
    }
    const std::size_t engines = model.cores.front().legacy ? 1 : 3;
    Grid grid;
    plan_grid(shown.size(), engines, size, view.single, &grid);
    const std::size_t selected_row = view.single ? 0 : selected / grid.columns;
    title_line(model, view, scroll_to(selected_row, grid, shown.size(), view), out);

    const PanelPainter painter(g, model, view);
    const std::size_t width = static_cast<std::size_t>(size.columns);
    const std::size_t inner = (width - 1) / grid.columns - 1;
    for (std::size_t r = 0; r < grid.shown; ++r) {
        std::vector<const CoreView*> row_cores;
        const std::size_t first = (view.scroll + r) * grid.columns;
        for (std::size_t c = 0; c < grid.columns && first + c < shown.size(); ++c) {
            row_cores.push_back(shown[first + c]);
        }
        const std::size_t selected_column =
            !view.single && selected_row == view.scroll + r ? selected % grid.columns : SIZE_MAX;
        frame_line(painter, g, grid, row_cores, selected_column, r == 0 ? 0 : 1, width, out);
        for (std::size_t row = 0; row < grid.content; ++row) {
            LineBuilder line(out);
            for (std::size_t c = 0; c < grid.columns; ++c) {
                line.add(g.vertical);
                painter.content(line, c < row_cores.size() ? row_cores[c] : nullptr, grid.band, row,
                                inner);
            }
            line.add(g.vertical);
        }
    }
    frame_line(painter, g, grid, {}, SIZE_MAX, 2, width, out);
}

}  // namespace vorlix::kestrel::top
