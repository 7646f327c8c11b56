// kestrel-top's keys.
#include "cpu/top/input.h"

namespace vorlix::kestrel::top {

namespace {

constexpr int kCtrlC = 3;
constexpr unsigned char kEsc = 27;

// The key of an escape sequence's final byte (ESC [ ... F or ESC O F).
int sequence_key(unsigned char final) {
    switch (final) {
        case 'A':
            return kKeyUp;
        case 'B':
            return kKeyDown;
        case 'C':
            return kKeyRight;
        case 'D':
            return kKeyLeft;
        case 'Z':
            return kKeyBackTab;
        case 'M':
            return kKeyEnter;
        default:
            return kKeyOther;
    }
}

}  // namespace

void KeyDecoder::feed(const char* bytes, std::size_t count, std::vector<int>* keys) {
    for (std::size_t i = 0; i < count; ++i) {
        byte(static_cast<unsigned char>(bytes[i]), keys);
    }
}

void KeyDecoder::byte(unsigned char c, std::vector<int>* keys) {
    switch (state_) {
        case State::kGround:
            if (c == kEsc) {
                state_ = State::kEscape;
            } else {
                keys->push_back(c);
            }
            return;
        case State::kEscape:
            if (c == '[') {
                state_ = State::kCsi;
                return;
            }
            if (c == 'O') {
                state_ = State::kSs3;
                return;
            }
            // Esc and then another key (Alt held, or typed fast): both keys.
            keys->push_back(kEsc);
            state_ = State::kGround;
            byte(c, keys);
            return;
        case State::kCsi:
            // Parameters and intermediates (0x20..0x3f) until the final byte.
            if (c >= 0x20 && c <= 0x3f) {
                return;
            }
            state_ = State::kGround;
            keys->push_back(c >= 0x40 && c <= 0x7e ? sequence_key(c) : kKeyOther);
            return;
        case State::kSs3:
            state_ = State::kGround;
            keys->push_back(sequence_key(c));
            return;
    }
}

void KeyDecoder::timeout(std::vector<int>* keys) {
    if (state_ == State::kEscape) {
        keys->push_back(kEsc);
    }
    state_ = State::kGround;
}

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
        case kKeyDown:
            return Action::kNext;
        case kKeyBackTab:
        case kKeyUp:
            return Action::kPrevious;
        case kKeyLeft:
            return Action::kLeft;
        case kKeyRight:
            return Action::kRight;
        case '\n':
        case '\r':
        case kKeyEnter:
            return Action::kEnter;
        case 'h':
        case 'H':
        case '?':
            return Action::kHelp;
        case '[':
            return Action::kStepBack;
        case ']':
            return Action::kStepForward;
        default:
            return Action::kNone;
    }
}

}  // namespace vorlix::kestrel::top
