// kestrel-doctor on the virtual board: each broken link of the chain is the first failure, with a
// remedy that names its fix, status 1, every check still in the report and nothing left open on
// the DSP; every healthy board passes; a core near its passive trip point warns and passes;
// --cdsp_index picks one core; a bad command line gives 2.
#include <gmock/gmock.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using e2e::BoardRun;

// One check line of the report, with the remedy under it.
struct Check {
    std::string verdict;
    std::string subject;
    std::string finding;
    std::string fix;
};

struct Report {
    std::vector<Check> checks;
    // Lines that are neither a check, nor indented under one, nor the last line: the report is
    // garbled (for instance by a library's log line).
    std::vector<std::string> stray;

    const Check* first(const std::string& verdict) const {
        for (const Check& check : checks) {
            if (check.verdict == verdict) {
                return &check;
            }
        }
        return nullptr;
    }
    std::vector<const Check*> with_subject_ending(const std::string& end) const {
        std::vector<const Check*> found;
        for (const Check& check : checks) {
            if (check.subject.size() >= end.size() &&
                check.subject.compare(check.subject.size() - end.size(), end.size(), end) == 0) {
                found.push_back(&check);
            }
        }
        return found;
    }
};

std::string trimmed(const std::string& text) {
    const auto end = text.find_last_not_of(' ');
    return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

// The report's layout: a verdict of four columns, two blanks, the subject in 18 columns, a
// blank and the finding; remedies and library lines indented by six blanks.
Report parse_report(const std::string& out) {
    Report report;
    const auto lines = kestrel_test::split_lines(out);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        const std::string verdict = trimmed(line.substr(0, 4));
        const bool is_check =
            line.size() > 25 && line.compare(4, 2, "  ") == 0 &&
            (verdict == "ok" || verdict == "warn" || verdict == "FAIL" || verdict == "skip");
        if (is_check) {
            report.checks.push_back({verdict, trimmed(line.substr(6, 18)), line.substr(25), ""});
        } else if (line.compare(0, 11, "      fix: ") == 0 && !report.checks.empty()) {
            report.checks.back().fix = line.substr(11);
        } else if (line.compare(0, 8, "      | ") != 0 && i + 1 != lines.size()) {
            report.stray.push_back(line);
        }
    }
    return report;
}

// What every report checks, whatever broke: each check's subject without a core's name.
const std::set<std::string> kEveryCheck = {"SoC",          "FastRPC library", "cores",
                                           "DSP",          "device node",     "temperature",
                                           "stub library", "DSP library",     "live check"};

std::set<std::string> missing_checks(const Report& report) {
    std::set<std::string> missing = kEveryCheck;
    for (const Check& check : report.checks) {
        missing.erase(check.subject);
        missing.erase(check.subject.substr(check.subject.find(' ') + 1));
    }
    return missing;
}

BoardRun run_doctor(const std::string& board, const std::vector<std::string>& args = {},
                    bool as_nobody = false) {
    kestrel_test::ProcessOptions opts;
    opts.timeout = std::chrono::seconds(30);
    if (as_nobody) {
        opts.env_set = {"KESTREL_E2E_AS_NOBODY_TARGET=" +
                        e2e::reachable_by_others(KESTREL_DOCTOR_BIN)};
    }
    return e2e::run_with_runner_options({"--doctor"}, board, args, opts,
                                        as_nobody ? KESTREL_E2E_AS_NOBODY : KESTREL_DOCTOR_BIN,
                                        as_nobody);
}

// ---- One row per broken link -----------------------------------------------------------------

struct BrokenLink {
    const char* name;
    const char* board;
    bool as_nobody;  // root may open any device node
    const char* first_failure;
    const char* remedy;  // part of the remedy line that names the fix
};

void PrintTo(const BrokenLink& row, std::ostream* os) {
    *os << row.name;
}

class DoctorBrokenLink : public testing::TestWithParam<BrokenLink> {};

TEST_P(DoctorBrokenLink, IsTheFirstFailureWithItsFixAndLeavesNothingOpen) {
    const BrokenLink& row = GetParam();
    if (row.as_nobody && getuid() != 0) {
        GTEST_SKIP() << "only root can run the doctor as another user";
    }
#if KESTREL_E2E_CROSS
    if (row.as_nobody) {
        GTEST_SKIP() << "the emulator's path prefix serves no device node modes";
    }
#endif
    const BoardRun run = run_doctor(row.board, {}, row.as_nobody);
    EXPECT_EQ(run.result.exit_code, 1) << run.result.out << run.result.err;
    EXPECT_EQ(run.result.err, "");
    const Report report = parse_report(run.result.out);
    EXPECT_TRUE(report.stray.empty()) << run.result.out;
    const Check* failure = report.first("FAIL");
    ASSERT_NE(failure, nullptr) << run.result.out;
    EXPECT_EQ(failure->subject, row.first_failure) << run.result.out;
    EXPECT_THAT(failure->fix, testing::HasSubstr(row.remedy)) << run.result.out;
    EXPECT_EQ(missing_checks(report), std::set<std::string>{}) << run.result.out;
    if (std::string(row.name) == "FastRpcLibrary") {
        // No platform at all: nothing reached a DSP, so nothing wrote a trace.
        EXPECT_TRUE(run.trace.empty());
    } else {
        EXPECT_TRUE(e2e::left_clean(run));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DoctorBrokenLink,
    testing::Values(BrokenLink{"SocId", "soc_missing.json", false, "SoC", "CONFIG_QCOM_SOCINFO"},
                    BrokenLink{"FastRpcLibrary", "doctor_no_fastrpc.json", false, "FastRPC library",
                               "install the board's FastRPC client library libadsprpc.so"},
                    BrokenLink{"DeviceNode", "doctor_node_denied.json", true, "cdsp device node",
                               "sudo usermod -aG video nobody"},
                    // Nobody should join root's group for one device.
                    BrokenLink{"DeviceNodeRootGroup", "doctor_node_root_group.json", true,
                               "cdsp device node", "a group of its own with a udev rule"},
                    BrokenLink{"DeviceNodeOwnGroup", "doctor_node_own_group.json", true,
                               "cdsp device node", "sudo chmod g+rw /dev/fastrpc-cdsp"},
                    // An offline DSP has no device node: the cause is named, not its symptom.
                    BrokenLink{"DspOffline", "doctor_dsp_offline.json", false, "cdsp DSP",
                               "echo start | sudo tee /sys/class/remoteproc/remoteproc0/state"},
                    BrokenLink{"DspCrashed", "doctor_dsp_crashed.json", false, "cdsp DSP",
                               "echo stop | sudo tee /sys/class/remoteproc/remoteproc0/state"},
                    BrokenLink{"DspTooHot", "doctor_dsp_hot.json", false, "cdsp temperature",
                               "let the board cool down"},
                    BrokenLink{"StubLibrary", "doctor_no_stub.json", false, "stub library",
                               "it puts libkestrel.so in /usr/lib"},
                    BrokenLink{"DspLibraryMissing", "doctor_no_skel.json", false, "DSP library",
                               "add the folder that holds it to ADSP_LIBRARY_PATH"},
                    BrokenLink{"DspLibraryNotHexagon", "doctor_host_skel.json", false,
                               "DSP library", "the Hexagon build of libkestrel_skel.so"},
                    BrokenLink{"LiveCheck", "fault_open.json", false, "cdsp live check", "dmesg"},
                    // A close the platform refuses leaves the session open: no pass.
                    BrokenLink{"LiveCheckClose", "fault_close.json", false, "cdsp live check",
                               "the session did not close"}),
    [](const testing::TestParamInfo<BrokenLink>& row) { return std::string(row.param.name); });

// ---- Healthy boards ------------------------------------------------------------------------

struct Healthy {
    const char* board;
    std::vector<std::string> cores;
};

void PrintTo(const Healthy& board, std::ostream* os) {
    *os << board.board;
}

class DoctorHealthyBoard : public testing::TestWithParam<Healthy> {};

TEST_P(DoctorHealthyBoard, PassesEveryCheckWithALiveSampleOfEachCore) {
    const Healthy& board = GetParam();
    const BoardRun run = run_doctor(board.board);
    EXPECT_EQ(run.result.exit_code, 0) << run.result.out << run.result.err;
    const Report report = parse_report(run.result.out);
    EXPECT_TRUE(report.stray.empty()) << run.result.out;
    EXPECT_EQ(report.first("FAIL"), nullptr) << run.result.out;
    EXPECT_EQ(report.first("skip"), nullptr) << run.result.out;
    std::vector<std::string> live;
    for (const Check* check : report.with_subject_ending(" live check")) {
        EXPECT_EQ(check->verdict, "ok") << run.result.out;
        live.push_back(check->subject.substr(0, check->subject.find(' ')));
    }
    EXPECT_EQ(live, board.cores) << run.result.out;
    // Each core had its own session, sampled (a PMU group outside the legacy mode) and closed.
    std::set<std::string> opened;
    for (const auto& open : run.calls("remote_handle64_open")) {
        opened.insert(open.value("domain", ""));
    }
    EXPECT_EQ(opened, std::set<std::string>(board.cores.begin(), board.cores.end()));
    EXPECT_TRUE(e2e::left_clean(run));
}

INSTANTIATE_TEST_SUITE_P(Boards, DoctorHealthyBoard,
                         testing::Values(Healthy{"sm8650", {"cdsp"}}, Healthy{"sm8250", {"cdsp"}},
                                         Healthy{"qcs6490", {"cdsp"}},
                                         Healthy{"qcs9075", {"cdsp", "cdsp1"}},
                                         Healthy{"sa8797p", {"nsp0", "nsp1", "nsp2", "nsp3"}}),
                         [](const testing::TestParamInfo<Healthy>& row) {
                             return std::string(row.param.board);
                         });

TEST(DoctorTemperature, ACoreNearItsPassiveTripPointWarnsAndTheRunPasses) {
    // demo's nsp2 runs 3.5 C below its passive trip point, the other cores far below theirs.
    const BoardRun run = run_doctor("demo");
    EXPECT_EQ(run.result.exit_code, 0) << run.result.out;
    std::vector<std::string> warned;
    const Report report = parse_report(run.result.out);
    for (const Check* check : report.with_subject_ending(" temperature")) {
        if (check->verdict == "warn") {
            warned.push_back(check->subject);
        }
    }
    EXPECT_EQ(warned, std::vector<std::string>{"nsp2 temperature"}) << run.result.out;
    const auto lines = kestrel_test::split_lines(run.result.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "every check passed (1 warning)");
}

// ---- Memory checking ------------------------------------------------------------------------

TEST(DoctorValgrind, AHealthyRunHasNoMemoryErrorAndNoLeak) {
#if KESTREL_E2E_SANITIZED
    GTEST_SKIP() << "valgrind does not run sanitizer builds";
#elif KESTREL_E2E_CROSS
    GTEST_SKIP() << "valgrind does not run programs of another processor";
#else
    if (access("/usr/bin/valgrind", X_OK) != 0) {
        GTEST_SKIP() << "valgrind is not installed";
    }
    kestrel_test::ProcessOptions opts;
    opts.env_set = {std::string("KESTREL_E2E_VALGRIND_TARGET=") + KESTREL_DOCTOR_BIN};
    const BoardRun run =
        e2e::run_with_runner_options({"--doctor"}, "qcs9075", {}, opts, KESTREL_E2E_VALGRIND);
    EXPECT_EQ(run.result.exit_code, 0) << run.result.out << run.result.err;
    EXPECT_EQ(run.result.err, "");
    EXPECT_TRUE(e2e::left_clean(run));
#endif
}

// ---- The command line ----------------------------------------------------------------------

TEST(DoctorCommandLine, CdspIndexChecksThatCoreAlone) {
    const BoardRun run = run_doctor("qcs9075", {"--cdsp_index", "1"});
    EXPECT_EQ(run.result.exit_code, 0) << run.result.out;
    const Report report = parse_report(run.result.out);
    std::set<std::string> checked;
    for (const Check& check : report.checks) {
        const auto blank = check.subject.find(' ');
        if (blank != std::string::npos && check.subject.compare(0, 4, "cdsp") == 0) {
            checked.insert(check.subject.substr(0, blank));
        }
    }
    EXPECT_EQ(checked, std::set<std::string>{"cdsp1"}) << run.result.out;
    for (const auto& open : run.calls("remote_handle64_open")) {
        EXPECT_EQ(open.value("domain", ""), "cdsp1");
    }

    const BoardRun beyond = run_doctor("qcs9075", {"--cdsp_index", "2"});
    EXPECT_EQ(beyond.result.exit_code, 1);
    const Report beyond_report = parse_report(beyond.result.out);
    const Check* failure = beyond_report.first("FAIL");
    ASSERT_NE(failure, nullptr) << beyond.result.out;
    EXPECT_EQ(failure->subject, "cores");
    EXPECT_TRUE(e2e::no_session(beyond));
}

TEST(DoctorCommandLine, AMistakeGivesTwoAndNoReport) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--cdsp_index"}, {"--cdsp_index", "one"}, {"--bogus"}}) {
        const BoardRun run = run_doctor("sm8650", args);
        EXPECT_EQ(run.result.exit_code, 2) << args.back();
        EXPECT_EQ(run.result.out, "") << args.back();
        EXPECT_NE(run.result.err, "") << args.back();
        EXPECT_TRUE(e2e::no_session(run));
    }
}

}  // namespace
