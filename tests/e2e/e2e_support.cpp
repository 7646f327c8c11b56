#include "e2e_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <utility>

namespace e2e {

namespace fs = std::filesystem;

std::vector<json> BoardRun::calls(const std::string& call) const {
    std::vector<json> out;
    for (const auto& line : trace) {
        if (line.value("call", "") == call) {
            out.push_back(line);
        }
    }
    return out;
}

std::vector<json> BoardRun::invokes(int method) const {
    std::vector<json> out;
    for (const auto& line : calls("remote_handle64_invoke")) {
        if (line.value("method", -1) == method) {
            out.push_back(line);
        }
    }
    return out;
}

json BoardRun::exit_line() const {
    auto lines = calls("exit");
    return lines.empty() ? json() : lines.back();
}

const char* const kTraceFile = "{trace}";

namespace {

// A word as the shell reads it back.
std::string shell_quoted(const std::string& word) {
    if (!word.empty() &&
        word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                               "0123456789-_./=:,+@%") == std::string::npos) {
        return word;
    }
    std::string quoted = "'";
    for (char c : word) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

// The board runs of the current test: how to run each again, and its trace directory. A test
// that fails prints the commands and keeps the traces; one that passes removes them.
class RunRecorder : public testing::EmptyTestEventListener {
  public:
    static RunRecorder& instance() {
        static RunRecorder* recorder = [] {
            auto* r = new RunRecorder;  // owned by GoogleTest's listener list
            testing::UnitTest::GetInstance()->listeners().Append(r);
            return r;
        }();
        return *recorder;
    }
    void record(std::string command, std::string dir) {
        runs_.push_back({std::move(command), std::move(dir)});
    }
    void OnTestEnd(const testing::TestInfo& info) override {
        const bool failed = info.result() != nullptr && info.result()->Failed();
        for (const auto& [command, dir] : runs_) {
            if (failed) {
                std::printf("reproduce: %s\n  (trace kept in %s)\n", command.c_str(), dir.c_str());
            } else {
                std::error_code ec;
                fs::remove_all(dir, ec);
            }
        }
        runs_.clear();
    }

  private:
    std::vector<std::pair<std::string, std::string>> runs_;
};

// ---- The build as other users reach it ----------------------------------------------------

// Whether every user may enter each folder down to `path` (the test's user owns the build, so
// only the others' bits count for another user).
bool others_may_reach(const fs::path& path) {
    for (fs::path dir = path; !dir.empty() && dir != dir.root_path(); dir = dir.parent_path()) {
        struct stat info {};
        if (stat(dir.c_str(), &info) != 0 || (info.st_mode & S_IXOTH) == 0) {
            return false;
        }
    }
    return true;
}

// A folder under /tmp that everyone may read, holding links to (or copies of) what a board run
// needs, in the layout the runner expects: build/ (this build), hexagon/ (the hexagon preset's
// files that build/sim/target.env names), sim/run-board and boards/. Made at the first need;
// removed when the test program ends, kept after a failure (the reproduce lines name it).
class OthersCopy {
  public:
    static OthersCopy& instance() {
        static OthersCopy copy;
        return copy;
    }
    OthersCopy(const OthersCopy&) = delete;
    OthersCopy& operator=(const OthersCopy&) = delete;

    // Why the copy could not be made; empty when it was.
    const std::string& error() const { return error_; }

    // Where the copy holds `file`, a file or folder of the build, the hexagon build, the runner's
    // folder or the board profiles; `file` itself when it is none of them.
    std::string path_of(const std::string& file) const {
        for (const auto& [from, to] : places_) {
            if (file == from) {
                return to;
            }
            if (file.size() > from.size() && file.compare(0, from.size(), from) == 0 &&
                file[from.size()] == '/') {
                return to + file.substr(from.size());
            }
        }
        return file;
    }

  private:
    OthersCopy() {
        char pattern[] = "/tmp/kestrel-others-XXXXXX";
        if (mkdtemp(pattern) == nullptr || chmod(pattern, 0755) != 0) {
            error_ = std::string("cannot make a folder under /tmp for other users: ") +
                     std::strerror(errno);
            return;
        }
        root_ = pattern;
        if (!others_may_reach(root_)) {
            error_ = "other users cannot reach " + root_ + ", where the build would be copied";
            return;
        }
        places_ = {{KESTREL_BUILD_DIR, root_ + "/build"},
                   {fs::path(KESTREL_RUN_BOARD).parent_path().string(), root_ + "/sim"},
                   {KESTREL_E2E_BOARDS, root_ + "/boards"}};
        copy_build() && copy_sources() && copy_target_env();
    }
    ~OthersCopy() {
        if (!root_.empty() && !testing::UnitTest::GetInstance()->Failed()) {
            std::error_code ec;
            fs::remove_all(root_, ec);
        }
    }

    // A hard link where the file's mode already lets others read it (and run it, when its owner
    // may), a copy with those rights otherwise. False, with the error noted, when neither works.
    bool place(const fs::path& from, const fs::path& to) {
        std::error_code ec;
        fs::create_directories(to.parent_path(), ec);
        struct stat info {};
        if (stat(from.c_str(), &info) != 0) {
            error_ = "cannot copy " + from.string() + " for other users: " + std::strerror(errno);
            return false;
        }
        const mode_t wanted = S_IROTH | ((info.st_mode & S_IXUSR) != 0 ? S_IXOTH : 0);
        if ((info.st_mode & wanted) == wanted) {
            fs::create_hard_link(from, to, ec);
            if (!ec) {
                return true;
            }
        }
        ec.clear();
        fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
        if (!ec && chmod(to.c_str(), (info.st_mode & 07777) | wanted | S_IRGRP) != 0) {
            ec = std::error_code(errno, std::generic_category());
        }
        if (ec) {
            error_ = "cannot copy " + from.string() + " to " + to.string() +
                     " for other users: " + ec.message();
            return false;
        }
        return true;
    }

    // What the runner takes from the build: the virtual board, the libraries, the programs (those
    // this test program's build made).
    bool copy_build() {
        const fs::path build = KESTREL_BUILD_DIR;
        std::vector<fs::path> files;
        for (const char* file :
             {"sim/kestrel-sim-board", "sim/kestrel-sim-dsp", "stub/libkestrel.so",
              "dsp/libkestrel_skel.so", "cpu/doctor/libkestrel_doctor.so",
              "cpu/doctor/kestrel-doctor", "cpu/app/kestrel"}) {
            files.push_back(file);
        }
        // The FastRPC library's variants, and the DSP host's optional runtime functions.
        std::error_code ec;
        for (const char* folder : {"sim/lib", "sim/dsp_host"}) {
            for (const auto& entry : fs::recursive_directory_iterator(build / folder, ec)) {
                if (entry.is_regular_file()) {
                    files.push_back(fs::relative(entry.path(), build));
                }
            }
        }
        for (const fs::path& file : files) {
            if (fs::exists(build / file, ec) &&
                !place(build / file, fs::path(root_) / "build" / file)) {
                return false;
            }
        }
        return true;
    }

    bool copy_sources() {
        if (!place(KESTREL_RUN_BOARD, path_of(KESTREL_RUN_BOARD))) {
            return false;
        }
        std::error_code ec;
        for (const auto& board : fs::directory_iterator(KESTREL_E2E_BOARDS, ec)) {
            if (!place(board.path(), path_of(board.path().string()))) {
                return false;
            }
        }
        return true;
    }

    // build/sim/target.env with the hexagon preset's files and the emulator's path prefix (its
    // links to the target's libraries) in the copy, without the target's packages.
    bool copy_target_env() {
        std::ifstream in(std::string(KESTREL_BUILD_DIR) + "/sim/target.env");
        std::string text;
        std::string line;
        while (std::getline(in, line)) {
            const auto equals = line.find('=');
            const std::string key = line.substr(0, equals == std::string::npos ? 0 : equals);
            const std::string value = equals == std::string::npos ? "" : line.substr(equals + 1);
            if ((key == "hexagon_dsp_library" || key == "hexagon_dsp_host") && !value.empty()) {
                const std::string copy =
                    root_ + (key == "hexagon_dsp_library" ? "/hexagon/dsp/" : "/hexagon/host/") +
                    fs::path(value).filename().string();
                if (fs::exists(value) && !place(value, copy)) {
                    return false;
                }
                line = key + "=" + copy;
            } else if (key == "prefix" && !value.empty()) {
                std::error_code ec;
                fs::create_directories(root_ + "/qemu-root", ec);
                for (const auto& entry : fs::directory_iterator(value, ec)) {
                    if (entry.is_symlink()) {
                        fs::create_symlink(fs::read_symlink(entry.path()),
                                           root_ + "/qemu-root/" + entry.path().filename().string(),
                                           ec);
                    }
                }
                line = key + "=" + root_ + "/qemu-root";
            } else if (key == "usrdir") {
                // The target's packages are the exporter's libraries; the programs that run as
                // other users (kestrel, kestrel-doctor) need none of them.
                line = key + "=";
            }
            text += line + "\n";
        }
        std::ofstream(root_ + "/build/sim/target.env") << text;
        return true;
    }

    std::string root_;
    std::string error_;
    std::vector<std::pair<std::string, std::string>> places_;
};

// `prefix` comes before the runner's command: a shell (bash -c SHELL bash) or another user's
// identity (setpriv ...), for whom the trace's folder is made writable.
// With `for_others` the run is for a program that runs as another user: the trace is shared and
// the runner runs the build's copy that other users reach.
BoardRun run_board_command(const std::vector<std::string>& prefix, const std::string& board,
                           const std::vector<std::string>& args, kestrel_test::ProcessOptions opts,
                           const std::string& program,
                           const std::vector<std::string>& runner_options = {},
                           bool for_others = false) {
    const OthersCopy* copy = nullptr;
    if (for_others) {
        copy = &OthersCopy::instance();
        if (!copy->error().empty()) {
            ADD_FAILURE() << "this run is another user's, and " << copy->error();
            return BoardRun{};
        }
    }
    const auto reached = [copy](const std::string& file) {
        return copy != nullptr ? copy->path_of(file) : file;
    };
    if (copy != nullptr && opts.cwd.empty()) {
        // The runner goes back to where it started, which the other user must be able to enter.
        opts.cwd = reached(KESTREL_BUILD_DIR);
    }
    char pattern[] = "/tmp/kestrel-e2e-XXXXXX";
    const char* dir = mkdtemp(pattern);
    EXPECT_NE(dir, nullptr);
    const bool other_user = !prefix.empty() && prefix[0] == "setpriv";
    if (dir != nullptr && other_user) {
        EXPECT_EQ(chmod(dir, 0777), 0);
    }
    const std::string trace = std::string(dir == nullptr ? "/tmp" : dir) + "/trace.jsonl";
    if (for_others && dir != nullptr) {
        std::ofstream(trace).close();
        fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
        fs::permissions(trace, fs::perms::owner_read | fs::perms::owner_write |
                                   fs::perms::group_read | fs::perms::group_write |
                                   fs::perms::others_read | fs::perms::others_write);
    }
    const bool is_file = board.size() > 5 && board.compare(board.size() - 5, 5, ".json") == 0;
    const bool is_path = !board.empty() && board.front() == '/';
    std::vector<std::string> argv = prefix;
    argv.insert(argv.end(), {reached(KESTREL_RUN_BOARD), "--build", reached(KESTREL_BUILD_DIR),
                             "--kestrel", reached(program)});
    argv.insert(argv.end(), runner_options.begin(), runner_options.end());
    argv.insert(
        argv.end(),
        {"--board",
         is_file && !is_path ? reached(std::string(KESTREL_E2E_BOARDS) + "/" + board) : board,
         "--trace", trace, "--"});
    argv.insert(argv.end(), args.begin(), args.end());
    for (auto& signal : opts.signals) {
        if (signal.after_file == kTraceFile) {
            signal.after_file = trace;
        }
    }
    BoardRun run;
    run.result = kestrel_test::run_process(argv, opts);
    EXPECT_FALSE(run.result.timed_out);
    std::ifstream in(trace);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) {
            continue;
        }
        json parsed = json::parse(line, nullptr, false);
        if (parsed.is_discarded()) {
            // Something else wrote into the trace file (kestrel's output, say).
            ADD_FAILURE() << "trace line is not JSON: " << line;
        } else {
            run.trace.push_back(std::move(parsed));
        }
    }
    if (dir != nullptr) {
        // scripts/run takes the runner's options and builds what it needs; --build points it at
        // this test's build.
        std::string command = "scripts/run";
        for (std::size_t i = prefix.size() + 1; i < argv.size(); ++i) {
            command += " " + shell_quoted(argv[i]);
        }
        if (other_user) {
            std::string as;
            for (const auto& word : prefix) {
                as += " " + shell_quoted(word);
            }
            command += "   # as:" + as;
        } else if (!prefix.empty()) {
            command += "   # through: " + shell_quoted(prefix[2]);
        }
        RunRecorder::instance().record(command, dir);
    }
    return run;
}

}  // namespace

BoardRun run_on_board(const std::string& board, const std::vector<std::string>& args,
                      kestrel_test::ProcessOptions opts, const std::string& program) {
    return run_board_command({}, board, args, std::move(opts), program);
}

BoardRun run_with_runner_options(const std::vector<std::string>& runner_options,
                                 const std::string& board, const std::vector<std::string>& args,
                                 kestrel_test::ProcessOptions opts, const std::string& program,
                                 bool for_other_user) {
    return run_board_command({}, board, args, std::move(opts), program, runner_options,
                             for_other_user);
}

BoardRun run_in_shell(const std::string& shell, const std::string& board,
                      const std::vector<std::string>& args, kestrel_test::ProcessOptions opts) {
    return run_board_command({"bash", "-c", shell, "bash"}, board, args, std::move(opts),
                             KESTREL_BIN);
}

BoardRun run_as_user(const std::string& user, const std::string& group, const std::string& board,
                     const std::vector<std::string>& args) {
    // The runner makes the tree (and, in a cross build, its links) where the other user may not
    // write.
    const BoardRun first = run_board_command({}, board, {"-h"}, {}, KESTREL_BIN, {}, true);
    EXPECT_EQ(first.result.exit_code, 0) << first.result.err;
    return run_board_command({"setpriv", "--reuid=" + user, "--regid=" + group, "--clear-groups"},
                             board, args, {}, KESTREL_BIN, {}, true);
}

std::string reachable_by_others(const std::string& built_file) {
    const OthersCopy& copy = OthersCopy::instance();
    EXPECT_EQ(copy.error(), "");
    return copy.path_of(built_file);
}

testing::AssertionResult follows_two_steps(const std::string& out, const StepLoad& a,
                                           const StepLoad& b) {
    std::vector<StepLoad> reports;
    StepLoad r{};
    for (const auto& line : kestrel_test::split_lines(out)) {
        double* figure = line.rfind("qdsp6 utilization: ", 0) == 0 ? &r.core
                         : line.rfind("hvx utilization: ", 0) == 0 ? &r.hvx
                         : line.rfind("hmx utilization: ", 0) == 0 ? &r.hmx
                                                                   : nullptr;
        if (figure != nullptr) {
            *figure = std::strtod(line.c_str() + line.find(':') + 1, nullptr);
            if (figure == &r.hmx) {
                reports.push_back(r);
            }
        }
    }
    bool in_a = false, in_b = false;
    for (const StepLoad& got : reports) {
        // The share f of the window spent in step a follows from the core's figure; the HVX and
        // HMX shares are then the mix of the steps' weighted by their busy cycles.
        const double f = (got.core - b.core) / (a.core - b.core);
        const double busy_a = f * a.core, busy_b = (1 - f) * b.core;
        const double hvx = (busy_a * a.hvx + busy_b * b.hvx) / (busy_a + busy_b);
        const double hmx = (busy_a * a.hmx + busy_b * b.hmx) / (busy_a + busy_b);
        if (f < -0.002 || f > 1.002 || std::fabs(got.hvx - hvx) > 0.2 ||
            std::fabs(got.hmx - hmx) > 0.2) {
            return testing::AssertionFailure()
                   << "report " << got.core << "/" << got.hvx << "/" << got.hmx
                   << " is no mix of the two steps (expected " << hvx << "/" << hmx << " for " << f
                   << " of the window in the first):\n"
                   << out;
        }
        in_a = in_a || std::fabs(got.core - a.core) < 0.1;
        in_b = in_b || std::fabs(got.core - b.core) < 0.1;
    }
    if (!in_a || !in_b) {
        return testing::AssertionFailure()
               << "no report within " << (in_a ? "the second" : "the first") << " step:\n"
               << out;
    }
    return testing::AssertionSuccess();
}

testing::AssertionResult lines_match(const std::string& actual,
                                     const std::vector<std::string>& expected) {
    const auto lines = kestrel_test::split_lines(actual);
    const bool ends_with_newline = actual.empty() || actual.back() == '\n';
    if (lines.size() != expected.size() || !ends_with_newline) {
        return testing::AssertionFailure() << "expected " << expected.size() << " lines, got:\n"
                                           << actual;
    }
    static const std::regex token(R"(\{(\*|(-?[0-9.]+)\.\.(-?[0-9.]+))\})");
    for (std::size_t i = 0; i < lines.size(); ++i) {
        // Build a pattern from the expected line: literal text, and a number for each token.
        std::string pattern;
        std::vector<std::pair<double, double>> ranges;
        std::string rest = expected[i];
        std::smatch m;
        while (std::regex_search(rest, m, token)) {
            pattern += std::regex_replace(m.prefix().str(), std::regex(R"([.^$|()\[\]{}*+?\\])"),
                                          R"(\$&)");
            pattern += "(-?[0-9]+(?:\\.[0-9]+)?|-?nan|-?inf)";
            if (m[1] == "*") {
                ranges.emplace_back(-INFINITY, INFINITY);
            } else {
                ranges.emplace_back(std::stod(m[2]), std::stod(m[3]));
            }
            rest = m.suffix().str();
        }
        pattern += std::regex_replace(rest, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
        std::smatch got;
        if (!std::regex_match(lines[i], got, std::regex(pattern))) {
            return testing::AssertionFailure() << "line " << i << ": got\n  " << lines[i]
                                               << "\nexpected\n  " << expected[i] << "\nin:\n"
                                               << actual;
        }
        for (std::size_t k = 0; k < ranges.size(); ++k) {
            const double v = std::strtod(got[k + 1].str().c_str(), nullptr);
            if (!(v >= ranges[k].first && v <= ranges[k].second)) {
                return testing::AssertionFailure()
                       << "line " << i << ": " << v << " outside [" << ranges[k].first << ", "
                       << ranges[k].second << "]: " << lines[i];
            }
        }
    }
    return testing::AssertionSuccess();
}

std::string near(double value, double tolerance) {
    return "{" + std::to_string(value - tolerance) + ".." + std::to_string(value + tolerance) + "}";
}

std::string window(double ms) {
    // The DSP timer also counts the remote call between the two readings; sanitizer builds
    // make that call slower.
    return "{" + std::to_string(ms) + ".." + std::to_string(ms + 1000) + "}";
}

std::string freq_line(const std::string& mhz, double ms) {
    return "dsp current freq: " + mhz + " (MHz), current sample time(ms): " + window(ms);
}

std::vector<std::string> all_lines(const std::string& arch, const std::string& mhz, double ms,
                                   double core, double hvx, double hmx) {
    return {"dsp arch: " + arch, freq_line(mhz, ms), "qdsp6 utilization: " + near(core) + " (%)",
            "hvx utilization: " + near(hvx) + " (%)", "hmx utilization: " + near(hmx) + " (%)"};
}

testing::AssertionResult left_clean(const BoardRun& run) {
    const json exit = run.exit_line();
    if (exit.is_null()) {
        return testing::AssertionFailure() << "no exit line in the trace";
    }
    if (exit.value("open_sessions", -1) != 0 || exit.value("pmu_groups", -1) != 0) {
        return testing::AssertionFailure() << "left behind: " << exit.dump();
    }
    return testing::AssertionSuccess();
}

testing::AssertionResult no_session(const BoardRun& run) {
    for (const char* call : {"remote_handle64_open", "dsp_start", "remote_handle64_invoke"}) {
        if (!run.calls(call).empty()) {
            return testing::AssertionFailure() << "the trace shows " << call;
        }
    }
    return testing::AssertionSuccess();
}

}  // namespace e2e
