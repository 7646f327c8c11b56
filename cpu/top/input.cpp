// kestrel-top's keys.
#include "cpu/top/input.h"

#include <curses.h>

namespace vorlix::kestrel::top {

namespace {

constexpr int kCtrlC = 3;
constexpr int kEsc = 27;

}  // namespace

Action action_for_key(int key) {
    switch (key) {
        case 'q':
        case 'Q':
        case kCtrlC:
            return Action::kQuit;
        case kEsc:
            return Action::kEscape;
        case ' ':
            return Action::kPause;
        case '+':
        case '=':
            return Action::kLonger;
        case '-':
        case '_':
            return Action::kShorter;
        case '\t':
        case KEY_DOWN:
            return Action::kNext;
        case KEY_BTAB:
        case KEY_UP:
            return Action::kPrevious;
        case KEY_LEFT:
            return Action::kLeft;
        case KEY_RIGHT:
            return Action::kRight;
        case '\n':
        case '\r':
        case KEY_ENTER:
            return Action::kEnter;
        case 'h':
        case 'H':
        case '?':
            return Action::kHelp;
        case '[':
            return Action::kStepBack;
        case ']':
            return Action::kStepForward;
        case KEY_RESIZE:
            return Action::kResize;
        default:
            return Action::kNone;
    }
}

}  // namespace vorlix::kestrel::top
