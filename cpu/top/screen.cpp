// The ncurses layer.
#include "cpu/top/screen.h"

#include <curses.h>
#include <fcntl.h>
#include <sys/ioctl.h>
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

// Where a row that was drawn as `drawn` and is now `line` (with the same colours) starts to
// differ: its first changed column, or the start of the coloured run that holds it, since a run
// is written with its colour from its start. A plot's row mostly changes at its right end only.
std::size_t first_change(const Line& drawn, const Line& line) {
    const std::size_t common = std::min(drawn.text.size(), line.text.size());
    std::size_t column = 0;
    while (column < common && drawn.text[column] == line.text[column]) {
        ++column;
    }
    for (const ColourRun& run : line.runs) {
        if (run.column < column && column < run.column + run.length) {
            return run.column;
        }
    }
    return column;
}

// A string capability of the terminal, empty when it has none.
std::string capability(const char* name) {
    const char* text = tigetstr(name);
    return text == nullptr || text == reinterpret_cast<const char*>(-1) ? std::string() : text;
}

// The foreground colour a piece is drawn in; -1 for the terminal's own.
int foreground(Colour colour) {
    switch (colour) {
        case Colour::kLow:
            return COLOR_GREEN;
        case Colour::kMid:
            return COLOR_YELLOW;
        case Colour::kHigh:
        case Colour::kHot:
        case Colour::kDown:
            return COLOR_RED;
        case Colour::kTitle:
            return COLOR_CYAN;
        case Colour::kSelected:
            break;
    }
    return -1;
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
    output_fd_ = out;
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
    if (!load_capabilities(colour && has_colors(), why)) {
        close();
        return false;
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
    output_fd_ = -1;
    drawn_.clear();
    drawn_size_ = TermSize{};
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

bool Terminal::load_capabilities(bool colour, std::string* why) {
    caps_ = Capabilities{};
    caps_.cursor_address = capability("cup");
    if (caps_.cursor_address.empty()) {
        const char* term = std::getenv("TERM");
        *why = std::string("the terminal (TERM=") + (term ? term : "") + ") cannot move its cursor";
        return false;
    }
    caps_.clear = capability("clear");
    caps_.clear_to_end = capability("el");
    caps_.normal = capability("sgr0");
    caps_.scrolls_at_corner = tigetflag("am") > 0 && tigetflag("xenl") <= 0;
    // Without a way back to plain text no piece is set apart.
    if (caps_.normal.empty()) {
        return true;
    }
    const std::string bold = capability("bold");
    const std::string reverse = capability("rev");
    const std::string set_foreground = colour ? capability("setaf") : std::string();
    for (std::size_t i = 0; i < caps_.colour.size(); ++i) {
        const auto piece = static_cast<Colour>(i);
        std::string& set = caps_.colour[i];
        if (piece == Colour::kSelected) {
            set += reverse;
        }
        if (piece == Colour::kTitle || piece == Colour::kHot || piece == Colour::kDown) {
            set += bold;
        }
        if (!set_foreground.empty() && foreground(piece) >= 0) {
            set += tiparm(set_foreground.c_str(), foreground(piece));
        }
    }
    return true;
}

TermSize Terminal::size() const {
    int rows = 0;
    int columns = 0;
    getmaxyx(stdscr, rows, columns);
    return {columns, rows};
}

bool Terminal::resize_pending() const {
    winsize now{};
    if (ioctl(output_fd_, TIOCGWINSZ, &now) != 0) {
        return false;
    }
    const TermSize known = size();
    return now.ws_col != known.columns || now.ws_row != known.rows;
}

void Terminal::draw(std::vector<Line>* next) {
    const std::vector<Line>& lines = *next;
    const TermSize now = size();
    std::string& out = output_;
    out.clear();
    bool every_row = false;
    if (now.columns != drawn_size_.columns || now.rows != drawn_size_.rows) {
        // A new size: everything is drawn anew on a cleared screen (or, without a way to clear
        // it, every row is written).
        drawn_.clear();
        drawn_size_ = now;
        row_address_.assign(static_cast<std::size_t>(std::max(now.rows, 0)), std::string());
        out += caps_.clear;
        every_row = caps_.clear.empty();
    }
    const std::size_t rows =
        every_row ? row_address_.size()
                  : std::min(std::max(lines.size(), drawn_.size()), row_address_.size());
    const std::size_t columns = static_cast<std::size_t>(std::max(now.columns, 0));
    for (std::size_t row = 0; row < rows; ++row) {
        static const Line kBlank;
        const Line& line = row < lines.size() ? lines[row] : kBlank;
        // Only the lines that changed are written.
        std::size_t column = 0;
        if (row < drawn_.size() && same_runs(drawn_[row], line)) {
            if (drawn_[row].text == line.text) {
                continue;
            }
            column = first_change(drawn_[row], line);
        }
        // A terminal that wraps at once at the right margin would scroll the screen when the
        // bottom right cell is written: there the row ends one column short.
        const std::size_t end =
            row + 1 == row_address_.size() && caps_.scrolls_at_corner && columns > 0 ? columns - 1
                                                                                     : columns;
        const std::size_t length = std::min(line.text.size(), end);
        // Written from its first change on: the cursor goes there.
        column = std::min(column, length);
        if (column == 0) {
            out += address(row);
        } else {
            out += tiparm(caps_.cursor_address.c_str(), static_cast<int>(row),
                          static_cast<int>(column));
        }
        for (const ColourRun& run : line.runs) {
            const std::size_t from = std::min(run.column, length);
            const std::size_t to = std::min(run.column + run.length, length);
            const std::string& set = caps_.colour[static_cast<std::size_t>(run.colour)];
            if (set.empty() || from >= to || from < column) {
                continue;
            }
            out.append(line.text, column, from - column);
            out += set;
            out.append(line.text, from, to - from);
            out += caps_.normal;
            column = to;
        }
        out.append(line.text, column, length - column);
        // The rest of the row is cleared, with spaces when the terminal cannot.
        if (length < end) {
            if (caps_.clear_to_end.empty()) {
                out.append(end - length, ' ');
            } else {
                out += caps_.clear_to_end;
            }
        }
    }
    if (!out.empty() && !row_address_.empty()) {
        // The cursor goes back where ncurses left it, so that its own moves (at the close) start
        // from where it believes the cursor is.
        out += address(0);
        write_all(out);
    }
    // What is drawn now is these lines; the last drawing's lines are handed back for the next.
    drawn_.swap(*next);
}

const std::string& Terminal::address(std::size_t row) {
    std::string& text = row_address_[row];
    if (text.empty()) {
        text = tiparm(caps_.cursor_address.c_str(), static_cast<int>(row), 0);
    }
    return text;
}

void Terminal::write_all(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(output_fd_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            // The terminal is gone; the loop learns it from its input.
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

int Terminal::read_key() {
    return getch();
}

}  // namespace vorlix::kestrel::top
