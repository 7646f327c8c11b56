// The terminal layer.
#include "cpu/top/screen.h"

#include <curses.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cpu/top/terminfo.h"

namespace vorlix::kestrel::top {

namespace {

// How long closing waits, at most, for a terminal that is slow to take the last bytes.
constexpr int kCloseWaitMs = 100;

// A string capability of the terminal, empty when it has none.
std::string capability(const char* name) {
    const char* text = tigetstr(name);
    return text == nullptr || text == reinterpret_cast<const char*>(-1) ? std::string() : text;
}

std::string term_name() {
    const char* term = std::getenv("TERM");
    return term != nullptr ? term : "";
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
        case Colour::kSelected:
            return COLOR_CYAN;
        case Colour::kDim:
            break;
    }
    return -1;
}

bool is_continuation(char c) {
    return (static_cast<unsigned char>(c) & 0xc0) == 0x80;
}

// The byte at which column `column` of `text` starts (the text's size beyond its end).
std::size_t byte_of(const std::string& text, std::size_t column) {
    std::size_t byte = 0;
    for (std::size_t seen = 0; byte < text.size(); ++byte) {
        if (!is_continuation(text[byte]) && seen++ == column) {
            return byte;
        }
    }
    return text.size();
}

std::size_t columns_before(const std::string& text, std::size_t byte) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < byte && i < text.size(); ++i) {
        count += is_continuation(text[i]) ? 0 : 1;
    }
    return count;
}

// The first column at which a row drawn as `drawn` and now `line` differs, in its text or its
// colours; SIZE_MAX when they are the same.
std::size_t first_change(const Line& drawn, const Line& line) {
    std::size_t change = SIZE_MAX;
    const std::size_t common = std::min(drawn.text.size(), line.text.size());
    std::size_t byte = 0;
    while (byte < common && drawn.text[byte] == line.text[byte]) {
        ++byte;
    }
    if (byte < common || drawn.text.size() != line.text.size()) {
        while (byte > 0 && byte < line.text.size() && is_continuation(line.text[byte])) {
            --byte;
        }
        change = columns_before(line.text, byte);
    }
    const std::size_t runs = std::min(drawn.runs.size(), line.runs.size());
    for (std::size_t i = 0; i < runs; ++i) {
        const ColourRun& a = drawn.runs[i];
        const ColourRun& b = line.runs[i];
        if (a.column != b.column || a.length != b.length || a.colour != b.colour) {
            return std::min(change, std::min(a.column, b.column));
        }
    }
    if (drawn.runs.size() != line.runs.size()) {
        const ColourRun& extra = drawn.runs.size() > runs ? drawn.runs[runs] : line.runs[runs];
        change = std::min(change, extra.column);
    }
    return change;
}

}  // namespace

Terminal::~Terminal() {
    close();
}

bool Terminal::open_descriptors(int output_fd, std::string* why) {
    // Descriptors of their own, whose not waiting does not reach the shell's.
    const std::string out_path = "/proc/self/fd/" + std::to_string(output_fd);
    output_fd_ = ::open(out_path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (output_fd_ < 0) {
        const char* name = ttyname(output_fd);
        output_fd_ =
            name != nullptr ? ::open(name, O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK) : -1;
    }
    input_fd_ = isatty(STDIN_FILENO)
                    ? ::open("/proc/self/fd/0", O_RDONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK)
                    : ::open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (input_fd_ < 0 && isatty(STDIN_FILENO)) {
        input_fd_ = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    }
    if (output_fd_ < 0 || input_fd_ < 0) {
        *why = std::string("cannot open the terminal: ") + std::strerror(errno);
        close_descriptors();
        return false;
    }
    return true;
}

void Terminal::close_descriptors() {
    if (output_fd_ >= 0) {
        ::close(output_fd_);
    }
    if (input_fd_ >= 0) {
        ::close(input_fd_);
    }
    output_fd_ = -1;
    input_fd_ = -1;
}

bool Terminal::open(int output_fd, bool colour, std::string* why) {
    if (!open_descriptors(output_fd, why)) {
        return false;
    }
    if (!load_terminfo(output_fd_)) {
        *why = "cannot set up the terminal (TERM=" + term_name() + ")";
        close_descriptors();
        return false;
    }
    if (!load_capabilities(colour, why) || tcgetattr(input_fd_, &saved_settings_) != 0) {
        if (why->empty()) {
            *why = std::string("cannot read the terminal's settings: ") + std::strerror(errno);
        }
        free_terminfo();
        close_descriptors();
        return false;
    }
    // Keys as they are typed, without echo; Ctrl-C a key; output as it was.
    termios raw = saved_settings_;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR | BRKINT | ISTRIP);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(input_fd_, TCSANOW, &raw);
    settings_saved_ = true;
    read_size();
    send(caps_.enter + caps_.clear);
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
    if (output_fd_ < 0) {
        return;
    }
    // The screen as it was, as far as the terminal takes it within a moment.
    send(caps_.leave);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCloseWaitMs);
    while (!write_pending()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        pollfd out = {output_fd_, POLLOUT, 0};
        if (left.count() <= 0 || poll(&out, 1, static_cast<int>(left.count())) <= 0) {
            break;
        }
    }
    pending_.clear();
    if (settings_saved_) {
        tcsetattr(input_fd_, TCSANOW, &saved_settings_);
        settings_saved_ = false;
    }
    free_terminfo();
    close_descriptors();
    drawn_.clear();
    drawn_size_ = TermSize{};
    addresses_.clear();
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
        *why = "the terminal (TERM=" + term_name() + ") cannot move its cursor";
        return false;
    }
    caps_.clear = capability("clear");
    caps_.clear_to_end = capability("el");
    caps_.normal = capability("sgr0");
    caps_.scrolls_at_corner = tigetflag("am") > 0 && tigetflag("xenl") <= 0;
    // The alternate screen, the keypad sending its application sequences, no cursor.
    caps_.enter = capability("smcup") + capability("smkx") + capability("civis");
    caps_.leave = caps_.normal + capability("cnorm") + capability("rmkx") + capability("rmcup");
    // Without a way back to plain text no piece is set apart.
    if (caps_.normal.empty()) {
        return true;
    }
    const std::string bold = capability("bold");
    const std::string reverse = capability("rev");
    const std::string dim = capability("dim");
    const std::string set_foreground =
        colour && tigetnum("colors") >= 8 ? capability("setaf") : std::string();
    for (std::size_t i = 0; i < caps_.colour.size(); ++i) {
        const auto piece = static_cast<Colour>(i);
        std::string& set = caps_.colour[i];
        if (piece == Colour::kSelected) {
            set += reverse;
        }
        if (piece == Colour::kTitle || piece == Colour::kHot || piece == Colour::kDown ||
            piece == Colour::kSelected) {
            set += bold;
        }
        if (piece == Colour::kDim) {
            set += dim;
        }
        if (!set_foreground.empty() && foreground(piece) >= 0) {
            set += tiparm(set_foreground.c_str(), foreground(piece));
        }
    }
    return true;
}

void Terminal::read_size() {
    winsize now{};
    if (ioctl(output_fd_, TIOCGWINSZ, &now) != 0 || now.ws_col == 0 || now.ws_row == 0) {
        size_ = {80, 24};
        return;
    }
    size_ = {now.ws_col, now.ws_row};
}

bool Terminal::draw(std::vector<Line>* next) {
    if (!write_pending()) {
        return false;
    }
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
        addresses_.assign(
            static_cast<std::size_t>(now.rows) * static_cast<std::size_t>(now.columns),
            std::string());
        out += caps_.clear;
        every_row = caps_.clear.empty();
    }
    const std::size_t rows = every_row ? static_cast<std::size_t>(now.rows)
                                       : std::min(std::max(lines.size(), drawn_.size()),
                                                  static_cast<std::size_t>(now.rows));
    const auto columns = static_cast<std::size_t>(now.columns);
    for (std::size_t row = 0; row < rows; ++row) {
        static const Line kBlank;
        const Line& line = row < lines.size() ? lines[row] : kBlank;
        // Only what changed is written, from its first change on.
        std::size_t from = 0;
        if (row < drawn_.size()) {
            from = first_change(drawn_[row], line);
            if (from == SIZE_MAX) {
                continue;
            }
        }
        // A terminal that wraps at once at the right margin would scroll the screen when the
        // bottom right cell is written: there the row ends one column short.
        const std::size_t end =
            row + 1 == static_cast<std::size_t>(now.rows) && caps_.scrolls_at_corner ? columns - 1
                                                                                     : columns;
        append_row(row, line, from, end, &out);
    }
    if (!out.empty()) {
        send(out);
    }
    // What is drawn now is these lines; the last drawing's lines are handed back for the next.
    drawn_.swap(*next);
    return true;
}

void Terminal::append_row(std::size_t row, const Line& line, std::size_t from, std::size_t end,
                          std::string* out) {
    const std::size_t length = std::min(columns_before(line.text, line.text.size()), end);
    from = std::min(from, length);
    if (from >= end) {
        return;  // what changed is beyond the row's end
    }
    *out += address(row, from);
    std::size_t column = from;
    std::size_t byte = byte_of(line.text, from);
    // The text up to column `to`, from where the last piece ended.
    const auto text_to = [&](std::size_t to) {
        std::size_t to_byte = byte;
        for (; column < to; ++column) {
            do {
                ++to_byte;
            } while (to_byte < line.text.size() && is_continuation(line.text[to_byte]));
        }
        out->append(line.text, byte, to_byte - byte);
        byte = to_byte;
    };
    for (const ColourRun& run : line.runs) {
        const std::size_t run_from = std::max(run.column, column);
        const std::size_t run_to = std::min(run.column + run.length, length);
        const std::string& set = caps_.colour[static_cast<std::size_t>(run.colour)];
        if (set.empty() || run_from >= run_to) {
            continue;
        }
        text_to(run_from);
        *out += set;
        text_to(run_to);
        *out += caps_.normal;
    }
    text_to(length);
    // The rest of the row is cleared, with spaces when the terminal cannot.
    if (length < end) {
        if (caps_.clear_to_end.empty()) {
            out->append(end - length, ' ');
        } else {
            *out += caps_.clear_to_end;
        }
    }
}

const std::string& Terminal::address(std::size_t row, std::size_t column) {
    std::string& text = addresses_[row * static_cast<std::size_t>(drawn_size_.columns) + column];
    if (!text.empty()) {
        return text;
    }
    // The ANSI form nearly every terminal has is written here; any other through terminfo.
    if (caps_.cursor_address == "\x1b[%i%p1%d;%p2%dH") {
        text = "\x1b[" + std::to_string(row + 1) + ";" + std::to_string(column + 1) + "H";
    } else {
        text =
            tiparm(caps_.cursor_address.c_str(), static_cast<int>(row), static_cast<int>(column));
    }
    return text;
}

void Terminal::send(const std::string& text) {
    pending_ += text;
    write_pending();
}

bool Terminal::write_pending() {
    std::size_t done = 0;
    while (done < pending_.size()) {
        const ssize_t n = ::write(output_fd_, pending_.data() + done, pending_.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        if (n <= 0) {
            // The terminal is gone; the loop learns it from its input.
            done = pending_.size();
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    pending_.erase(0, done);
    return pending_.empty();
}

bool Terminal::read_input(std::string* bytes) {
    char buffer[256];
    for (;;) {
        const ssize_t n = ::read(input_fd_, buffer, sizeof buffer);
        if (n > 0) {
            bytes->append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

}  // namespace vorlix::kestrel::top
