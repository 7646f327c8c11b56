// The thin ncurses layer: the terminal set up on descriptors of its own, keys read without
// waiting, lines drawn as the layout gives them. ncurses sets the terminal up, reads the keys and
// follows its size; the lines that changed are written with the terminal's own capabilities
// (cursor address, clear to end of line, attributes), one write per drawing: ncurses' update
// would weigh every cursor movement anew, many times the cost of the drawing itself. While the
// screen is up, standard output and standard error point at /dev/null, so that no log line of the
// libraries reaches it; closing restores the terminal (echo, cursor, normal screen) and both
// descriptors.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "cpu/top/layout.h"

struct screen;

namespace vorlix::kestrel::top {

class Terminal {
  public:
    Terminal() = default;
    ~Terminal();
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    // Sets the terminal up on `output_fd` (a terminal; duplicated) with input from standard
    // input when it is a terminal, else from /dev/tty. False, with the reason in `why`.
    bool open(int output_fd, bool colour, std::string* why);
    // Restores the terminal and the standard descriptors; nothing when not open.
    void close();

    int input_fd() const { return input_fd_; }
    TermSize size() const;
    // Whether the terminal's size differs from size(), which follows it only once the resize
    // is read as a key.
    bool resize_pending() const;
    // Draws the lines; only those that differ from the last drawing are written. `lines` gets
    // the last drawing's lines in exchange, so that their storage serves again.
    void draw(std::vector<Line>* lines);
    // The next key, or -1 (ERR) when none is waiting.
    int read_key();

  private:
    // What the drawing writes, from the terminal's description.
    struct Capabilities {
        std::string cursor_address;  // with the row and column as parameters
        std::string clear;           // the whole screen; may be empty
        std::string clear_to_end;    // of the line; may be empty
        std::string normal;          // no attribute, no colour
        // What starts each kind of piece (empty: drawn plain), in Colour's order.
        std::array<std::string, static_cast<std::size_t>(Colour::kTitle) + 1> colour;
        // Writing the bottom right cell scrolls the screen.
        bool scrolls_at_corner = false;
    };

    bool load_capabilities(bool colour, std::string* why);
    const std::string& address(std::size_t row);
    void write_all(const std::string& text);

    struct screen* screen_ = nullptr;
    std::FILE* in_ = nullptr;
    std::FILE* out_ = nullptr;
    int input_fd_ = -1;
    int output_fd_ = -1;
    int saved_stdout_ = -1;
    int saved_stderr_ = -1;
    Capabilities caps_;
    // What the screen shows: the lines last drawn, at that size.
    std::vector<Line> drawn_;
    TermSize drawn_size_;
    std::vector<std::string> row_address_;  // the cursor address of each row, once made
    std::string output_;                    // one drawing's bytes, kept for the next one
};

}  // namespace vorlix::kestrel::top
