// The terminal layer: the terminal set up once (keys without echo or line editing, the keypad's
// application mode, the alternate screen, the cursor hidden) and restored on close, keys read
// without waiting, and lines drawn as the layout gives them. Only the lines (from their first
// change) that differ from the last drawing are written, with the terminal's own capabilities
// from its terminfo description (cursor address, clear to end of line, attributes), one write
// per drawing.
//
// Output never blocks: the terminal is written through a descriptor of its own that does not
// wait. When the terminal stops reading, what it did not take waits, later drawings are skipped
// until it has taken it, and closing restores what it can without waiting (the terminal's
// settings always). While the screen is up, standard output and standard error point at
// /dev/null, so that no log line of the libraries reaches it.
#pragma once

#include <termios.h>

#include <array>
#include <string>
#include <vector>

#include "cpu/top/layout.h"

namespace vorlix::kestrel::top {

class Terminal {
  public:
    Terminal() = default;
    ~Terminal();
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    // Sets the terminal up on `output_fd` (a terminal) with input from standard input when it
    // is a terminal, else from /dev/tty. False, with the reason in `why`, having changed nothing.
    bool open(int output_fd, bool colour, std::string* why);
    // Restores the terminal and the standard descriptors, without waiting for the terminal;
    // nothing when not open.
    void close();

    int input_fd() const { return input_fd_; }
    int output_fd() const { return output_fd_; }
    // The terminal's size as last read: when it was set up, and at each read_size() (the loop's
    // call when SIGWINCH tells of a new size).
    TermSize size() const { return size_; }
    void read_size();
    // Draws the lines; only what differs from the last drawing is written. `lines` gets the
    // last drawing's lines in exchange, so that their storage serves again. Skipped (false) while
    // the terminal has not taken an earlier drawing whole.
    bool draw(std::vector<Line>* lines);
    // Whether bytes of a drawing wait for the terminal; write_pending() offers them again (true
    // once none wait).
    bool output_pending() const { return !pending_.empty(); }
    bool write_pending();
    // The bytes waiting on the input, appended to `bytes`; false at its end (the terminal gone).
    bool read_input(std::string* bytes);

  private:
    // What the drawing writes, from the terminal's description.
    struct Capabilities {
        std::string cursor_address;  // with the row and column as parameters
        std::string clear;           // the whole screen; may be empty
        std::string clear_to_end;    // of the line; may be empty
        std::string normal;          // no attribute, no colour
        // What starts each kind of piece (empty: drawn plain), in Colour's order.
        std::array<std::string, static_cast<std::size_t>(Colour::kDim) + 1> colour;
        // Writing the bottom right cell scrolls the screen.
        bool scrolls_at_corner = false;
        // Set up and restored around the run.
        std::string enter;  // alternate screen, keypad's application mode, cursor hidden
        std::string leave;
    };

    bool load_capabilities(bool colour, std::string* why);
    bool open_descriptors(int output_fd, std::string* why);
    void close_descriptors();
    void append_row(std::size_t row, const Line& line, std::size_t from, std::size_t columns,
                    std::string* out);
    // The cursor's address of a cell, made once per size.
    const std::string& address(std::size_t row, std::size_t column);
    // Writes what it can now; the rest waits in pending_.
    void send(const std::string& text);

    int input_fd_ = -1;
    int output_fd_ = -1;
    int saved_stdout_ = -1;
    int saved_stderr_ = -1;
    bool settings_saved_ = false;
    termios saved_settings_{};
    Capabilities caps_;
    // What the screen shows: the lines last drawn, at that size.
    std::vector<Line> drawn_;
    TermSize drawn_size_;
    TermSize size_;
    std::vector<std::string> addresses_;  // of each cell, once made: rows x columns
    std::string output_;                  // one drawing's bytes, kept for the next one
    std::string pending_;                 // bytes the terminal has not taken yet
};

}  // namespace vorlix::kestrel::top
