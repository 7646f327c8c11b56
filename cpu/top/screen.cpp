// The ncurses layer.
#include "cpu/top/screen.h"

#include <curses.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vorlix::kestrel::top {

namespace {

// Escape sequences arrive at once from a terminal; a lone Esc is a key after this long.
constexpr int kEscapeDelayMs = 25;

short pair_of(Colour colour) {
    return static_cast<short>(static_cast<int>(colour) + 1);
}

int attributes(Colour colour, bool with_colour) {
    int attrs = A_NORMAL;
    if (colour == Colour::kSelected) {
        attrs |= A_REVERSE;
    }
    if (colour == Colour::kTitle || colour == Colour::kHot || colour == Colour::kDown) {
        attrs |= A_BOLD;
    }
    if (with_colour) {
        attrs |= static_cast<int>(COLOR_PAIR(pair_of(colour)));
    }
    return attrs;
}

bool same_runs(const Line& a, const Line& b) {
    if (a.runs.size() != b.runs.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.runs.size(); ++i) {
        if (a.runs[i].column != b.runs[i].column || a.runs[i].length != b.runs[i].length ||
            a.runs[i].colour != b.runs[i].colour) {
            return false;
        }
    }
    return true;
}

void set_up_colours() {
    start_color();
    use_default_colors();
    init_pair(pair_of(Colour::kLow), COLOR_GREEN, -1);
    init_pair(pair_of(Colour::kMid), COLOR_YELLOW, -1);
    init_pair(pair_of(Colour::kHigh), COLOR_RED, -1);
    init_pair(pair_of(Colour::kHot), COLOR_RED, -1);
    init_pair(pair_of(Colour::kDown), COLOR_RED, -1);
    init_pair(pair_of(Colour::kSelected), -1, -1);
    init_pair(pair_of(Colour::kTitle), COLOR_CYAN, -1);
}

}  // namespace

Terminal::~Terminal() {
    close();
}

bool Terminal::open(int output_fd, bool colour, std::string* why) {
    const int out = fcntl(output_fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int in = isatty(STDIN_FILENO) ? fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1)
                                        : ::open("/dev/tty", O_RDONLY | O_CLOEXEC);
    if (out < 0 || in < 0) {
        *why = std::string("cannot open the terminal: ") + std::strerror(errno);
        if (out >= 0) {
            ::close(out);
        }
        if (in >= 0) {
            ::close(in);
        }
        return false;
    }
    out_ = fdopen(out, "w");
    in_ = fdopen(in, "r");
    if (out_ == nullptr || in_ == nullptr) {
        *why = std::string("cannot open the terminal: ") + std::strerror(errno);
        close();
        return false;
    }
    screen_ = newterm(nullptr, out_, in_);
    if (screen_ == nullptr) {
        const char* term = std::getenv("TERM");
        *why = std::string("cannot set up the terminal (TERM=") + (term ? term : "") + ")";
        close();
        return false;
    }
    input_fd_ = in;
    raw();
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    curs_set(0);
    set_escdelay(kEscapeDelayMs);
    // An update goes out in one write: no look at the input in the middle of it (which flushes
    // what is written so far), and the screen left and resumed once, since until then ncurses
    // flushes its output at every cursor movement.
    typeahead(-1);
    endwin();
    refresh();
    colour_ = colour && has_colors();
    if (colour_) {
        set_up_colours();
    }
    // From here on the libraries' lines go nowhere; the screen has its own descriptor.
    std::fflush(stdout);
    std::fflush(stderr);
    saved_stdout_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    saved_stderr_ = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        ::close(null);
    }
    return true;
}

void Terminal::close() {
    if (screen_ != nullptr) {
        endwin();
        delscreen(screen_);
        screen_ = nullptr;
    }
    if (out_ != nullptr) {
        std::fclose(out_);
        out_ = nullptr;
    }
    if (in_ != nullptr) {
        std::fclose(in_);
        in_ = nullptr;
    }
    input_fd_ = -1;
    // What the libraries printed meanwhile goes where it was headed: nowhere.
    std::fflush(stdout);
    std::fflush(stderr);
    if (saved_stdout_ >= 0) {
        dup2(saved_stdout_, STDOUT_FILENO);
        ::close(saved_stdout_);
        saved_stdout_ = -1;
    }
    if (saved_stderr_ >= 0) {
        dup2(saved_stderr_, STDERR_FILENO);
        ::close(saved_stderr_);
        saved_stderr_ = -1;
    }
}

TermSize Terminal::size() const {
    int rows = 0;
    int columns = 0;
    getmaxyx(stdscr, rows, columns);
    return {columns, rows};
}

void Terminal::draw(const std::vector<Line>& lines) {
    const TermSize now = size();
    if (now.columns != drawn_size_.columns || now.rows != drawn_size_.rows) {
        // A new size: everything is drawn anew.
        drawn_.clear();
        drawn_size_ = now;
        erase();
    }
    const std::size_t rows = std::max(lines.size(), drawn_.size());
    std::vector<chtype> cells;
    for (std::size_t row = 0; row < rows; ++row) {
        static const Line kBlank;
        const Line& line = row < lines.size() ? lines[row] : kBlank;
        // Only the lines that changed are handed to ncurses.
        if (row < drawn_.size() && drawn_[row].text == line.text && same_runs(drawn_[row], line)) {
            continue;
        }
        // The line's cells with their attributes, handed over in one call: the layout's text is
        // ASCII, so no conversion of multibyte text is needed.
        cells.assign(line.text.begin(), line.text.end());
        for (chtype& cell : cells) {
            cell &= 0xff;
        }
        for (const ColourRun& run : line.runs) {
            const int attrs = attributes(run.colour, colour_);
            if (attrs == A_NORMAL) {
                continue;
            }
            const chtype with = static_cast<chtype>(attrs) |
                                (colour_ ? COLOR_PAIR(pair_of(run.colour)) : chtype{0});
            const std::size_t end = std::min(cells.size(), run.column + run.length);
            for (std::size_t column = run.column; column < end; ++column) {
                cells[column] |= with;
            }
        }
        const int y = static_cast<int>(row);
        mvaddchnstr(y, 0, cells.data(), static_cast<int>(cells.size()));
        // addchnstr leaves the cursor where the line starts: the rest of the row is cleared
        // from the line's end (a line as wide as the terminal leaves nothing to clear).
        if (static_cast<int>(cells.size()) < now.columns) {
            move(y, static_cast<int>(cells.size()));
            clrtoeol();
        }
    }
    drawn_ = lines;
    refresh();
}

int Terminal::read_key() {
    return getch();
}

}  // namespace vorlix::kestrel::top
