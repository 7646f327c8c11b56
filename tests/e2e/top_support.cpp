#include "top_support.h"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace top_test {

namespace {

namespace fs = std::filesystem;

std::string quoted(const std::string& word) {
    std::string out = "'";
    for (char c : word) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::vector<std::string> TopInTmux::tmux(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {"tmux", "-L", socket_, "-f", "/dev/null"};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

std::string TopInTmux::run_tmux(const std::vector<std::string>& args) const {
    const kestrel_test::ProcessResult result = kestrel_test::run_process(tmux(args));
    EXPECT_EQ(result.exit_code, 0) << "tmux " << args.front() << ": " << result.err;
    return result.out;
}

TopInTmux::TopInTmux(const std::string& board, const std::vector<std::string>& args, int columns,
                     int rows, const std::string& program, const std::vector<std::string>& env) {
    static std::atomic<int> count{0};
    socket_ = "kestrel-top-" + std::to_string(getpid()) + "-" + std::to_string(count++);
    char pattern[] = "/tmp/kestrel-top-XXXXXX";
    const char* made = mkdtemp(pattern);
    EXPECT_NE(made, nullptr);
    dir_ = made == nullptr ? "/tmp" : made;
    const bool is_file = board.size() > 5 && board.compare(board.size() - 5, 5, ".json") == 0;
    // A UTF-8 terminal unless the test says otherwise.
    std::string command = "env -u LC_ALL -u LC_CTYPE LANG=C.UTF-8 ";
    for (const auto& variable : env) {
        command += quoted(variable) + " ";
    }
    command +=
        quoted(KESTREL_RUN_BOARD) + " --build " + quoted(KESTREL_BUILD_DIR) + " --kestrel " +
        quoted(program) + " --board " +
        quoted(is_file && board.front() != '/' ? std::string(KESTREL_E2E_BOARDS) + "/" + board
                                               : board) +
        " --trace " + quoted(dir_ + "/trace.jsonl") + " --";
    for (const auto& arg : args) {
        command += " " + quoted(arg);
    }
    // After the program: its status, the terminal's settings, a mark, and a pause that keeps
    // the pane for reading.
    const std::string script = command + "; echo $? > " + quoted(dir_ + "/status") +
                               "; stty -a > " + quoted(dir_ + "/stty") + "; echo END; sleep 60";
    run_tmux({"new-session", "-d", "-x", std::to_string(columns), "-y", std::to_string(rows),
              "sh -c " + quoted(script)});
}

TopInTmux::~TopInTmux() {
    kestrel_test::run_process(tmux({"kill-server"}));
    if (!testing::Test::HasFailure()) {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    } else {
        std::printf("kestrel-top run kept in %s; last screen:\n%s\n", dir_.c_str(), last_.c_str());
    }
}

std::string TopInTmux::screen(bool with_attributes) const {
    return with_attributes ? run_tmux({"capture-pane", "-p", "-e"})
                           : run_tmux({"capture-pane", "-p"});
}

bool TopInTmux::wait_for(const std::function<bool(const std::string&)>& ready,
                         std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        last_ = screen();
        if (ready(last_)) {
            return true;
        }
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

bool TopInTmux::wait_for_text(const std::string& text, std::chrono::milliseconds deadline) {
    return wait_for([&](const std::string& s) { return s.find(text) != std::string::npos; },
                    deadline);
}

void TopInTmux::keys(const std::vector<std::string>& names) {
    for (const auto& name : names) {
        run_tmux({"send-keys", "-t", "0", name});
    }
}

void TopInTmux::raw_keys(const std::string& hex) {
    std::vector<std::string> args = {"send-keys", "-t", "0", "-H"};
    std::istringstream bytes(hex);
    for (std::string byte; bytes >> byte;) {
        args.push_back(byte);
    }
    run_tmux(args);
}

void TopInTmux::resize(int columns, int rows) {
    run_tmux(
        {"resize-window", "-t", "0", "-x", std::to_string(columns), "-y", std::to_string(rows)});
}

void TopInTmux::signal(int signo) {
    // The pane runs the shell; its one child is the program (the runner replaced itself).
    const std::string shell = run_tmux({"display-message", "-p", "-t", "0", "#{pane_pid}"});
    const int shell_pid = std::atoi(shell.c_str());
    const std::string children = read_file("/proc/" + std::to_string(shell_pid) + "/task/" +
                                           std::to_string(shell_pid) + "/children");
    const int pid = std::atoi(children.c_str());
    ASSERT_GT(pid, 0) << "no program under the shell " << shell;
    ASSERT_EQ(kill(pid, signo), 0);
}

TopInTmux::End TopInTmux::finish() {
    End end;
    EXPECT_TRUE(wait_for_text("END")) << "the program did not end:\n" << last_;
    end.screen = last_;
    const std::string status = read_file(dir_ + "/status");
    end.status = status.empty() ? -1 : std::atoi(status.c_str());
    end.stty = read_file(dir_ + "/stty");
    end.run.result.exit_code = end.status;
    std::ifstream in(dir_ + "/trace.jsonl");
    std::string line;
    while (std::getline(in, line)) {
        e2e::json parsed = e2e::json::parse(line, nullptr, false);
        if (!parsed.is_discarded()) {
            end.run.trace.push_back(std::move(parsed));
        }
    }
    return end;
}

namespace {

// Columns of a line of the screen (UTF-8).
std::size_t columns_of(const std::string& text) {
    std::size_t count = 0;
    for (const char c : text) {
        count += (static_cast<unsigned char>(c) & 0xc0) != 0x80 ? 1 : 0;
    }
    return count;
}

// The part of `line` from column `from` on.
std::string from_column(const std::string& line, std::size_t from) {
    std::size_t column = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if ((static_cast<unsigned char>(line[i]) & 0xc0) != 0x80 && column++ == from) {
            return line.substr(i);
        }
    }
    return "";
}

// A panel's title: a frame's corner, then "> " or a line and a space, and the core's name.
bool is_title(const std::string& line) {
    static const std::regex title("(^|[─+\\-|┬┼├┌])(>|─|-) [a-z]+[0-9]* ");
    return std::regex_search(line, title);
}

}  // namespace

std::vector<std::string> panel(const std::string& screen, const std::string& domain) {
    std::vector<std::string> rows;
    const std::regex title("(>|─|-) " + domain + " ");
    std::size_t column = 0;
    bool inside = false;
    for (const auto& line : kestrel_test::split_lines(screen)) {
        std::smatch match;
        if (!inside && std::regex_search(line, match, title)) {
            inside = true;
            column = columns_of(match.prefix().str()) - 1;
            rows.push_back(from_column(line, column));
            continue;
        }
        if (inside) {
            const std::string part = from_column(line, column);
            if (is_title(part) || part.rfind("└", 0) == 0 || part.rfind("+-", 0) == 0) {
                break;
            }
            rows.push_back(part);
        }
    }
    return rows;
}

std::map<std::string, double> figures(const std::string& screen, const std::string& domain) {
    std::map<std::string, double> out;
    const std::regex engine("^(│|\\|) (QDSP6|HVX|HMX) +(▕|\\[)[^%]*(▏|\\]) +([0-9.]+)%");
    for (const auto& line : panel(screen, domain)) {
        std::smatch match;
        if (std::regex_search(line, match, engine)) {
            out[match[2]] = std::stod(match[5]);
        }
    }
    return out;
}

TopInPty::TopInPty(const std::string& board, const std::vector<std::string>& args, int columns,
                   int rows) {
    char pattern[] = "/tmp/kestrel-top-pty-XXXXXX";
    const char* made = mkdtemp(pattern);
    EXPECT_NE(made, nullptr);
    dir_ = made == nullptr ? "/tmp" : made;
    std::vector<std::string> argv = {
        KESTREL_RUN_BOARD, "--build", KESTREL_BUILD_DIR, "--kestrel",           KESTREL_TOP_BIN,
        "--board",         board,     "--trace",         dir_ + "/trace.jsonl", "--"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (auto& arg : argv) {
        pointers.push_back(arg.data());
    }
    pointers.push_back(nullptr);
    winsize size{};
    size.ws_col = static_cast<unsigned short>(columns);
    size.ws_row = static_cast<unsigned short>(rows);
    pid_ = forkpty(&master_, nullptr, nullptr, &size);
    if (pid_ == 0) {
        setenv("TERM", "xterm", 1);
        setenv("LANG", "C.UTF-8", 1);
        execv(pointers[0], pointers.data());
        _exit(127);
    }
    EXPECT_GT(pid_, 0);
    if (master_ >= 0) {
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
}

TopInPty::~TopInPty() {
    if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) {
        close(master_);
    }
    std::error_code ec;
    if (!testing::Test::HasFailure()) {
        fs::remove_all(dir_, ec);
    } else {
        std::printf("kestrel-top run kept in %s\n", dir_.c_str());
    }
}

bool TopInPty::read_until(const std::function<bool(const std::string&)>& ready,
                          std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    char buffer[4096];
    for (;;) {
        ssize_t n = 0;
        while ((n = read(master_, buffer, sizeof buffer)) > 0) {
            output_.append(buffer, static_cast<std::size_t>(n));
        }
        if (ready(output_)) {
            return true;
        }
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool TopInPty::full() const {
    const char* name = ptsname(master_);
    const int fd = name != nullptr ? open(name, O_WRONLY | O_NOCTTY | O_NONBLOCK) : -1;
    const bool wait = fd >= 0 && write(fd, "", 1) < 0 && errno == EAGAIN;
    if (fd >= 0) {
        close(fd);
    }
    return wait;
}

void TopInPty::resize(int columns, int rows) {
    winsize size{};
    size.ws_col = static_cast<unsigned short>(columns);
    size.ws_row = static_cast<unsigned short>(rows);
    ioctl(master_, TIOCSWINSZ, &size);
}

void TopInPty::signal(int signo) {
    ASSERT_EQ(kill(pid_, signo), 0);
}

int TopInPty::wait(std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() > end) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

e2e::BoardRun TopInPty::run() const {
    e2e::BoardRun run;
    std::ifstream in(dir_ + "/trace.jsonl");
    for (std::string line; std::getline(in, line);) {
        e2e::json parsed = e2e::json::parse(line, nullptr, false);
        if (!parsed.is_discarded()) {
            run.trace.push_back(std::move(parsed));
        }
    }
    return run;
}

}  // namespace top_test
