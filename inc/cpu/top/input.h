// kestrel-top's keys: the bytes a terminal sends turned into keys (an arrow arrives as ESC [ B or,
// in the keypad's application mode, ESC O B), and the keys into actions; what an action does
// depends on the view (top_run).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorlix::kestrel::top {

// A key: a byte as typed (below 256), or one of these.
enum Key : int {
    kKeyUp = 0x100,
    kKeyDown,
    kKeyLeft,
    kKeyRight,
    kKeyBackTab,
    kKeyEnter,  // the keypad's Enter
    kKeyOther,  // an escape sequence of a key without an action (Home, F1, ...)
};

// A lone Esc is a key only when nothing follows it within this long: an escape sequence's bytes
// arrive together.
inline constexpr int kEscapeDelayMs = 25;

class KeyDecoder {
  public:
    // Takes the bytes read from the terminal; the keys they complete are appended to `keys`.
    void feed(const char* bytes, std::size_t count, std::vector<int>* keys);
    // Whether an Esc waits for what may follow it.
    bool escape_pending() const { return state_ != State::kGround; }
    // Nothing followed within kEscapeDelayMs: a lone Esc is the Esc key (appended); the start of
    // a sequence cut short is dropped.
    void timeout(std::vector<int>* keys);

  private:
    enum class State { kGround, kEscape, kCsi, kSs3 };
    void byte(unsigned char c, std::vector<int>* keys);

    State state_ = State::kGround;
};

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
};

Action action_for_key(int key);

}  // namespace vorlix::kestrel::top
