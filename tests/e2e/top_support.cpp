#include "top_support.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
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
    std::string command;
    for (const auto& variable : env) {
        command += (command.empty() ? "env " : "") + quoted(variable) + " ";
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

std::string TopInTmux::screen() const {
    return run_tmux({"capture-pane", "-p"});
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

std::map<std::string, double> figures(const std::string& screen, const std::string& domain) {
    std::map<std::string, double> out;
    const std::regex name("^(> |  )" + domain + "( |$)");
    const std::regex engine("^  (QDSP6|HVX|HMX) +\\[[#.]*\\] +([0-9.]+)%");
    const std::regex other_core("^(> |  )[a-z]+[0-9]* ");
    bool inside = false;
    for (const auto& line : kestrel_test::split_lines(screen)) {
        std::smatch match;
        if (std::regex_search(line, name)) {
            inside = true;
            continue;
        }
        if (!inside) {
            continue;
        }
        if (std::regex_search(line, match, engine)) {
            out[match[1]] = std::stod(match[2]);
        } else if (std::regex_search(line, other_core) && line.rfind("  temp", 0) != 0 &&
                   line.rfind("  no zone", 0) != 0) {
            break;
        }
    }
    return out;
}

}  // namespace top_test
