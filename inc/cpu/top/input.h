// The keys of kestrel-top, as actions; what an action does depends on the view (top_run).
#pragma once

namespace vorlix::kestrel::top {

enum class Action {
    kNone,
    kQuit,         // q, Ctrl-C
    kEscape,       // back from the single-core view, else quit
    kPause,        // space
    kLonger,       // + (=)
    kShorter,      // - (_)
    kNext,         // down arrow, Tab
    kPrevious,     // up arrow, Shift-Tab
    kLeft,         // left arrow: previous core, or a step back in a paused replay
    kRight,        // right arrow: next core, or a step forward in a paused replay
    kEnter,        // the chosen core alone, and back
    kHelp,         // h, ?
    kStepBack,     // [
    kStepForward,  // ]
    kResize,       // the terminal changed size
};

// The action of a key as ncurses' getch returns it (keypad mode).
Action action_for_key(int key);

}  // namespace vorlix::kestrel::top
