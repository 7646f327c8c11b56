// What goes where on the screen: a pure function from the model, the view's state and the
// terminal's size to lines of text with colour runs. The ncurses layer (screen.h) only draws
// them, so the layout reads the same with or without colour.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "cpu/top/model.h"

namespace vorlix::kestrel::top {

enum class Colour {
    kLow,       // a bar below 50 %
    kMid,       // a bar from 50 % to 80 %
    kHigh,      // a bar from 80 %
    kHot,       // a temperature within 5 degrees of the passive trip point
    kDown,      // a session that failed
    kSelected,  // the chosen core's name
    kTitle,     // the top line
};

struct ColourRun {
    std::size_t column = 0;
    std::size_t length = 0;
    Colour colour = Colour::kLow;
};

struct Line {
    std::string text;  // printable ASCII, at most the terminal's width
    std::vector<ColourRun> runs;
};

struct ViewState {
    std::string title;   // "SA8797P (soc 690)", "replay FILE"
    std::string status;  // more for the top line ("12:00:01 event 4/40"), may be empty
    std::size_t selected = 0;
    bool single = false;  // the selected core alone, full screen
    bool help = false;
    bool paused = false;
    double now = 0.0;  // on the events' clock, for the reopening countdowns
};

struct TermSize {
    int columns = 0;
    int rows = 0;
};

inline constexpr int kMinColumns = 80;

// The smallest terminal that shows the model's cores (or the selected core alone) readably.
TermSize minimum_size(const Model& model, bool single);

// The screen's lines, top first, at most `size.rows` of them, into `lines` (whose earlier lines'
// storage serves again). A terminal below minimum_size() gets one line naming the size needed.
void render_screen(const Model& model, const ViewState& view, TermSize size,
                   std::vector<Line>* lines);

// "DOWN: open failed (0x80000608), reopening in 3 s" and the like, for a core at `now`.
std::string session_text(const CoreView& core, double now);

}  // namespace vorlix::kestrel::top
