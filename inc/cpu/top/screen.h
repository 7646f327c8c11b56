// The thin ncurses layer: the terminal set up on descriptors of its own, lines drawn as the
// layout gives them, keys read without waiting. While the screen is up, standard output and
// standard error point at /dev/null, so that no log line of the libraries reaches it; closing
// restores the terminal (echo, cursor, normal screen) and both descriptors.
#pragma once

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
    // Draws the lines; only those that differ from the last drawing reach ncurses.
    void draw(const std::vector<Line>& lines);
    // The next key, or -1 (ERR) when none is waiting.
    int read_key();

  private:
    struct screen* screen_ = nullptr;
    std::FILE* in_ = nullptr;
    std::FILE* out_ = nullptr;
    int input_fd_ = -1;
    int saved_stdout_ = -1;
    int saved_stderr_ = -1;
    bool colour_ = false;
    // What the screen shows: the lines last drawn, at that size.
    std::vector<Line> drawn_;
    TermSize drawn_size_;
};

}  // namespace vorlix::kestrel::top
