#include "e2e_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
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

// `prefix` comes before the runner's command: a shell (bash -c SHELL bash) or another user's
// identity (setpriv ...), for whom the trace's folder is made writable.
BoardRun run_board_command(const std::vector<std::string>& prefix, const std::string& board,
                           const std::vector<std::string>& args, kestrel_test::ProcessOptions opts,
                           const std::string& program,
                           const std::vector<std::string>& runner_options = {},
                           bool shared_trace = false) {
    char pattern[] = "/tmp/kestrel-e2e-XXXXXX";
    const char* dir = mkdtemp(pattern);
    EXPECT_NE(dir, nullptr);
    const bool other_user = !prefix.empty() && prefix[0] == "setpriv";
    if (dir != nullptr && other_user) {
        EXPECT_EQ(chmod(dir, 0777), 0);
    }
    const std::string trace = std::string(dir == nullptr ? "/tmp" : dir) + "/trace.jsonl";
    if (shared_trace && dir != nullptr) {
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
    argv.insert(argv.end(),
                {KESTREL_RUN_BOARD, "--build", KESTREL_BUILD_DIR, "--kestrel", program});
    argv.insert(argv.end(), runner_options.begin(), runner_options.end());
    argv.insert(
        argv.end(),
        {"--board", is_file && !is_path ? std::string(KESTREL_E2E_BOARDS) + "/" + board : board,
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
                                 bool shared_trace) {
    return run_board_command({}, board, args, std::move(opts), program, runner_options,
                             shared_trace);
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
    const BoardRun first = run_on_board(board, {"-h"});
    EXPECT_EQ(first.result.exit_code, 0) << first.result.err;
    return run_board_command({"setpriv", "--reuid=" + user, "--regid=" + group, "--clear-groups"},
                             board, args, {}, KESTREL_BIN);
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
