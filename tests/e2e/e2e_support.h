// Running the real kestrel on the virtual board and reading what happened: its output, its
// exit status and the platform's call trace.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "process.h"

namespace e2e {

using json = nlohmann::json;

struct BoardRun {
    kestrel_test::ProcessResult result;
    std::vector<json> trace;  // one object per trace line

    // Trace lines of one platform call.
    std::vector<json> calls(const std::string& call) const;
    // Application-side invocations of one remote method.
    std::vector<json> invokes(int method) const;
    // The line the platform writes when the process ends (null when missing).
    json exit_line() const;
};

// Stands for the run's trace file in the `after_file` of a signal in the process options.
extern const char* const kTraceFile;

// Runs kestrel (or `program` in its place) through the board runner. `board` is a built-in board
// name, the file name of a test profile in tests/e2e/boards, or an absolute path of a profile.
// Each run gets its own trace file.
BoardRun run_on_board(const std::string& board, const std::vector<std::string>& args,
                      kestrel_test::ProcessOptions opts = {},
                      const std::string& program = KESTREL_BIN);

// The same run with the runner's own options `runner_options` (such as "--doctor") before the
// board. With `for_other_user`, for a program that runs as another user than the test, the run's
// folder and trace file are open to every user first and the runner runs the build's copy that
// other users can reach (reachable_by_others).
BoardRun run_with_runner_options(const std::vector<std::string>& runner_options,
                                 const std::string& board, const std::vector<std::string>& args,
                                 kestrel_test::ProcessOptions opts, const std::string& program,
                                 bool for_other_user = false);

// The same run started by a bash command line `shell`, in which "$@" is the runner's command
// that runs kestrel: for pipes and redirections around kestrel. The command's own status (for
// instance `exit ${PIPESTATUS[0]}`) is the result.
BoardRun run_in_shell(const std::string& shell, const std::string& board,
                      const std::vector<std::string>& args, kestrel_test::ProcessOptions opts = {});

// The same run as the user `user` and group `group` with no other groups (setpriv), which must
// be able to write the trace; the board's tree is made first by a run as this process's user.
// It runs what other users can reach (reachable_by_others).
BoardRun run_as_user(const std::string& user, const std::string& group, const std::string& board,
                     const std::vector<std::string>& args);

// A file of the build as another user than the test's reaches it. The build may lie in a folder
// that only its owner may enter (a clone in root's mode-0700 home): runs as another user take what
// they run (the runner, the board profiles, the programs, the virtual board and the libraries of
// this build and of the hexagon preset's) to a folder under /tmp that everyone may read, once per
// test program, and run it from there. Fails the test, saying why, when that cannot be done.
std::string reachable_by_others(const std::string& built_file);

// Compares output line by line with expected lines in which "{LOW..HIGH}" stands for a number
// in that range and "{*}" for any number.
testing::AssertionResult lines_match(const std::string& actual,
                                     const std::vector<std::string>& expected);

// "{X-0.1..X+0.1}": a utilisation within 0.1 percentage points.
std::string near(double value, double tolerance = 0.1);
// A measured sampling window of at least `ms` milliseconds (plus the remote calls' time).
std::string window(double ms);
// The clock line: `mhz` as kestrel prints it ("1000.000000") and a window of `ms`.
std::string freq_line(const std::string& mhz, double ms);
// The lines of an --all report: the architecture ("V75"), the clock line, and the three
// utilisations within 0.1 points of the board's loads `core`, `hvx` and `hmx`.
std::vector<std::string> all_lines(const std::string& arch, const std::string& mhz, double ms,
                                   double core, double hvx, double hmx);

// A load of two steps (e2e boards with "steps"): percentages of the core, HVX and HMX.
struct StepLoad {
    double core, hvx, hmx;
};
// The reports of a --follow --all run (qdsp6, hvx and hmx lines) on a core whose load moves
// between two steps `a` and `b` that are each longer than a window (the same pcpp): each
// report is the busy-cycle-weighted mix of the two for some share of the window (the time-
// weighted mean for the core), and at least one report lies wholly in each step.
testing::AssertionResult follows_two_steps(const std::string& out, const StepLoad& a,
                                           const StepLoad& b);

// The run left no session open and no PMU group registered on the DSP.
testing::AssertionResult left_clean(const BoardRun& run);
// The run never opened a session nor started a DSP.
testing::AssertionResult no_session(const BoardRun& run);

}  // namespace e2e
