// What goes where on the screen: a pure function from the model, the view's state and the
// terminal's size to lines of text with colour runs. The terminal layer (screen.h) only draws
// them, so the layout reads the same with or without colour.
//
// Each core is a framed panel: its name, clock, session, temperature and remote processor in
// the frame's title, then a row that labels the figures and the plots' span (or tells what
// failed, while the core is down), then a band per engine: a bar, the current figure, the mean
// and the peak over the plotted span, and a plot of the engine's history on the time axis the
// cores share, with its scale. The panels share their frames; on a wide terminal they form a
// grid; when not all fit, as many whole panels as fit are shown, scrolled with the selection.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "cpu/top/model.h"

namespace vorlix::kestrel::top {

enum class Colour {
    kLow,       // a load below 50 %
    kMid,       // a load from 50 % to 80 %
    kHigh,      // a load from 80 %
    kHot,       // a temperature within 5 degrees of the passive trip point
    kDown,      // a session that failed, a remote processor not running
    kSelected,  // the chosen core's name
    kTitle,     // the top line
    kDim,       // no current value
};

// The colour of a load in percent, for its bar and its plot's columns.
Colour load_colour(float percent);

struct ColourRun {
    std::size_t column = 0;
    std::size_t length = 0;
    Colour colour = Colour::kLow;
};

struct Line {
    std::string text;             // UTF-8, each character one column, at most the terminal's width
    std::vector<ColourRun> runs;  // in columns, in order, not overlapping
};

struct ViewState {
    std::string title;   // "SA8797P (soc 690)", "replay FILE"
    std::string status;  // more for the top line ("00:59 / 06:04  window 60/365"), may be empty
    std::size_t selected = 0;
    bool single = false;  // the selected core alone, full screen
    bool help = false;
    bool paused = false;
    bool unicode = true;  // frames, bars and plots with Unicode characters; else ASCII only
    double now = 0.0;     // on the events' clock, for the reopening countdowns
    // The first row of panels shown; render_screen moves it so that the selected core shows.
    std::size_t scroll = 0;
};

struct TermSize {
    int columns = 0;
    int rows = 0;
};

// Below this the screen is one line naming the size needed.
inline constexpr TermSize kSmallest{40, 10};

// The screen's lines, top first, at most `size.rows` of them, into `lines` (whose earlier lines'
// storage serves again).
void render_screen(const Model& model, ViewState& view, TermSize size, std::vector<Line>* lines);

// The session as the panel's title tells it at `now`: "sampling", "opening", "DOWN, reopening
// in 3 s" (whole seconds, rounded up: the attempt comes within that many).
std::string session_text(const CoreView& core, double now);

}  // namespace vorlix::kestrel::top
