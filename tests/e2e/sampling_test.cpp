// kestrel sampling on the virtual board: print options, SoC rules, legacy mode, follow mode with
// Ctrl-C, and the runs that make no DSP access.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>

#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using e2e::all_lines;
using e2e::BoardRun;
using e2e::freq_line;
using e2e::left_clean;
using e2e::lines_match;
using e2e::near;
using e2e::no_session;
using e2e::run_on_board;
using e2e::window;
using Lines = std::vector<std::string>;

const std::string kUri = "file:///libkestrel_skel.so?kestrel_skel_handle_invoke&_modver=1.0&_dom=";

// The sm8650 board: V75 at 1000 MHz, loads 45 / 25 / 12 percent.
const std::string kFreq8650 = freq_line("1000.000000", 200);
const std::string kQdsp8650 = "qdsp6 utilization: " + near(45) + " (%)";
const std::string kHvx8650 = "hvx utilization: " + near(25) + " (%)";
const std::string kHmx8650 = "hmx utilization: " + near(12) + " (%)";
const Lines kAll8650 = all_lines("V75", "1000.000000", 200, 45, 25, 12);

// One complete session: opened on `domain`, group registered and released, closed.
void expect_one_session(const BoardRun& run, const std::string& domain, bool legacy = false) {
    auto opens = run.calls("remote_handle64_open");
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0]["uri"], kUri + domain);
    EXPECT_EQ(run.invokes(3).size(), legacy ? 0u : 1u);
    EXPECT_EQ(run.invokes(4).size(), legacy ? 0u : 1u);
    EXPECT_EQ(run.calls("remote_handle64_close").size(), 1u);
    EXPECT_TRUE(left_clean(run));
}

TEST(Sampling, AllPrintsArchFrequencyAndThreeUtilisations) {
    BoardRun run = run_on_board("sm8650", {"--all", "--sample_time", "200"});
    EXPECT_EQ(run.result.exit_code, 0);
    EXPECT_EQ(run.result.err, "");
    EXPECT_TRUE(lines_match(run.result.out, kAll8650));
    expect_one_session(run, "cdsp");
    EXPECT_EQ(run.invokes(5).size(), 2u);
    EXPECT_EQ(run.invokes(6).size(), 1u);
    // The unsigned PD was asked for on the default domain.
    auto pd = run.calls("remote_session_control");
    ASSERT_FALSE(pd.empty());
    EXPECT_EQ(pd.back()["req"], 2);
    EXPECT_EQ(pd.back()["domain"], 3);
}

TEST(Sampling, WithoutPrintOptionSamplesOnceAndPrintsNothing) {
    BoardRun run = run_on_board("sm8650", {"--sample_time", "200"});
    EXPECT_EQ(run.result.exit_code, 0);
    EXPECT_EQ(run.result.out, "");
    EXPECT_EQ(run.result.err, "");
    expect_one_session(run, "cdsp");
    EXPECT_EQ(run.invokes(5).size(), 2u);
}

TEST(Sampling, SingleChoicesRepeatTheFrequencyLine) {
    BoardRun dsp = run_on_board("sm8650", {"--dsp", "--sample_time", "200"});
    EXPECT_EQ(dsp.result.exit_code, 0);
    EXPECT_TRUE(lines_match(dsp.result.out, {kFreq8650, kQdsp8650}));

    BoardRun hvx_hmx = run_on_board("sm8650", {"--hmx", "--sample_time", "200", "--hvx"});
    EXPECT_EQ(hvx_hmx.result.exit_code, 0);
    EXPECT_TRUE(lines_match(hvx_hmx.result.out, {kFreq8650, kHvx8650, kFreq8650, kHmx8650}));
    EXPECT_TRUE(left_clean(hvx_hmx));
}

TEST(Sampling, DebugBlockAndItsPlaceAfterTheUnitLines) {
    const Lines debug{"dsp arch: V75",
                      "Measured time period = " + window(200) + "(ms)",
                      "Processor cycles = {*}",
                      "Commited packets = {*}",
                      "HVX packets = {*}",
                      "HMX active cycles = {*}",
                      "dsp freq = 1000000000.000000(hz)",
                      "hmx freq = 0.000000(hz) (Now, Not Support)",
                      "qdsp6_load = " + near(450, 1),
                      "pcpp = " + near(2.5, 0.01),
                      "mpps = " + near(180, 1),
                      "hvx_mpps = " + near(45, 1),
                      "hmx_mcps = " + near(54, 1),
                      "qdsp6_utilization = " + near(45),
                      "hmx_utilization = " + near(12),
                      "hvx_utilization = " + near(25)};
    BoardRun run = run_on_board("sm8650", {"--debug", "--dsp", "--sample_time", "200"});
    EXPECT_EQ(run.result.exit_code, 0);
    Lines expected{kFreq8650, kQdsp8650};
    expected.insert(expected.end(), debug.begin(), debug.end());
    EXPECT_TRUE(lines_match(run.result.out, expected));
}

TEST(Sampling, AllTakesPrecedenceOverTheOtherChoices) {
    BoardRun run = run_on_board("sm8650", {"--debug", "--hvx", "--all", "--sample_time", "200"});
    EXPECT_EQ(run.result.exit_code, 0);
    EXPECT_TRUE(lines_match(run.result.out, kAll8650));
}

// ---- Legacy gate ----------------------------------------------------------------------------

TEST(LegacyGate, LegacySocsNeedRunLegacy) {
    for (const char* board : {"sm8250", "qcm6490.json", "qcs6490"}) {
        BoardRun run = run_on_board(board, {"--all"});
        EXPECT_EQ(run.result.exit_code, 255) << board;
        EXPECT_EQ(run.result.out,
                  "[ERROR] [KESTREL] kestrel: Only support --run_legacy for "
                  "SM8250/QCM6490/QCS6490.\n\n")
            << board;
        EXPECT_TRUE(no_session(run)) << board;
    }
}

TEST(LegacyGate, OtherSocsRefuseRunLegacy) {
    for (const char* board : {"sm8650", "qcs9075", "sa8797p"}) {
        BoardRun run = run_on_board(board, {"--run_legacy", "--all"});
        EXPECT_EQ(run.result.exit_code, 255) << board;
        EXPECT_EQ(run.result.out,
                  "[ERROR] [KESTREL] kestrel: Don't support --run_legacy for >= v68.\n\n")
            << board;
        EXPECT_TRUE(no_session(run)) << board;
    }
}

TEST(LegacyGate, LegacySamplingPrintsFrequencyAndQdsp6Only) {
    for (const char* board : {"sm8250", "qcs6490"}) {
        BoardRun run = run_on_board(board, {"--run_legacy", "--all", "--sample_time", "200"});
        EXPECT_EQ(run.result.exit_code, 0) << board;
        EXPECT_TRUE(lines_match(run.result.out, {freq_line("1000.000000", 200),
                                                 "qdsp6 utilization: " + near(45) + " (%)"}))
            << board;
        expect_one_session(run, "cdsp", /*legacy=*/true);
        EXPECT_EQ(run.invokes(2).size(), 2u);
        EXPECT_TRUE(run.invokes(5).empty());
    }
}

// ---- QCS9075: two CDSPs ---------------------------------------------------------------------

TEST(Qcs9075, IndexZeroUsesCdsp) {
    BoardRun run = run_on_board("qcs9075", {"--all", "--sample_time", "200", "--cdsp_index", "0"});
    EXPECT_EQ(run.result.exit_code, 0);
    EXPECT_TRUE(lines_match(run.result.out, all_lines("V73", "1000.000000", 200, 45, 25, 12)));
    expect_one_session(run, "cdsp");
    auto pd = run.calls("remote_session_control");
    ASSERT_FALSE(pd.empty());
    EXPECT_EQ(pd.back()["domain"], 3);
}

TEST(Qcs9075, IndexOneUsesCdsp1AndDomainFour) {
    BoardRun run = run_on_board("qcs9075", {"--all", "--sample_time", "200", "--cdsp_index", "1"});
    EXPECT_EQ(run.result.exit_code, 0);
    // The architecture is the second CDSP's, reported in the second group by this library.
    EXPECT_TRUE(lines_match(run.result.out, all_lines("V73", "1200.000000", 200, 70, 40, 20)));
    expect_one_session(run, "cdsp1");
    auto pd = run.calls("remote_session_control");
    ASSERT_FALSE(pd.empty());
    EXPECT_EQ(pd.back()["req"], 2);
    EXPECT_EQ(pd.back()["domain"], 4);
}

TEST(Qcs9075, IndexTwoIsRefused) {
    BoardRun run = run_on_board("qcs9075", {"--all", "--cdsp_index", "2"});
    EXPECT_EQ(run.result.exit_code, 255);
    EXPECT_EQ(run.result.out,
              "[ERROR] [KESTREL] Invalid cdsp_index 2, only support 0 or 1 for QCS9075.\n\n");
    EXPECT_TRUE(no_session(run));
}

// ---- SA8797P: four cores named by the platform ----------------------------------------------

TEST(Sa8797p, EachCoreByItsNameWithoutUnsignedPd) {
    struct Core {
        const char* index;
        const char* name;
        double core, hvx, hmx;
    } cores[] = {{"0", "nsp0", 45, 25, 12},
                 {"1", "nsp1", 30, 10, 5},
                 {"2", "nsp2", 70, 40, 20},
                 {"3", "nsp3", 10, 0, 0}};
    for (const auto& c : cores) {
        BoardRun run = run_on_board("sa8797p", {"--all", "--sample_time", "200", "--cdsp_index",
                                                c.index, "--enable_unsigned_pd", "1"});
        EXPECT_EQ(run.result.exit_code, 0) << c.name;
        EXPECT_TRUE(
            lines_match(run.result.out, all_lines("V00", "1400.000000", 200, c.core, c.hvx, c.hmx)))
            << c.name;
        expect_one_session(run, c.name);
        for (const auto& call : run.calls("remote_session_control")) {
            EXPECT_NE(call["req"], 2) << "unsigned PD asked for on " << c.name;
        }
        // No VTCM or architecture query on this SoC.
        for (const auto& call : run.calls("remote_handle_control")) {
            EXPECT_NE(call["attr"], 4);
            EXPECT_NE(call["attr"], 6);
        }
    }
}

TEST(Sa8797p, IndexFourIsRefused) {
    BoardRun run = run_on_board("sa8797p", {"--all", "--cdsp_index", "4"});
    EXPECT_EQ(run.result.exit_code, 255);
    EXPECT_EQ(run.result.out,
              "[ERROR] [KESTREL] Invalid cdsp_index 4, only support 0, 1, 2, 3 for SA8797P.\n\n");
    EXPECT_TRUE(no_session(run));
}

TEST(Sampling, CountersCrossingTheSignedLimitGiveTheBoardsLoads) {
    BoardRun run = run_on_board("counters_cross_2_31.json", {"--all", "--sample_time", "200"});
    EXPECT_EQ(run.result.exit_code, 0);
    EXPECT_TRUE(lines_match(run.result.out, kAll8650));
}

TEST(Sampling, PauseAfterTheReportKeepsItsMilliseconds) {
    const auto start = std::chrono::steady_clock::now();
    BoardRun run =
        run_on_board("sm8650", {"--dsp", "--sample_time", "0", "--sample_interval_time", "1300"});
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(run.result.exit_code, 0);
    // One whole second and 300 ms of pause before the session closes.
    EXPECT_GE(elapsed, std::chrono::milliseconds(1300));
}

// ---- Follow mode and Ctrl-C -----------------------------------------------------------------

TEST(Follow, CtrlCDuringTheWindowStillReportsAndCloses) {
    kestrel_test::ProcessOptions opts;
    // Well after start-up, well before the end of the long window.
    opts.sigint_after = {std::chrono::milliseconds(2500)};
    BoardRun run = run_on_board(
        "sm8650", {"--follow", "--dsp", "--sample_time", "10000", "--sample_interval_time", "20"},
        opts);
    EXPECT_EQ(run.result.exit_code, 0);
    EXPECT_EQ(run.result.signal, 0);
    EXPECT_TRUE(lines_match(
        run.result.out,
        {"[WARN ] [KestrelStub] nanosleep(): interrupted by a signal, it may be abnormal.",
         "dsp current freq: 1000.000000 (MHz), current sample time(ms): {100..9999}", kQdsp8650}));
    expect_one_session(run, "cdsp");
    EXPECT_EQ(run.invokes(5).size(), 2u);
}

TEST(Follow, CtrlCDuringThePauseEndsTheLoopAtOnce) {
    kestrel_test::ProcessOptions opts;
    opts.sigint_on_output = "qdsp6 utilization";
    opts.sigint_on_output_count = 1;
    opts.sigint_on_output_delay = std::chrono::milliseconds(300);
    BoardRun run = run_on_board(
        "sm8650", {"-f", "--dsp", "--sample_time", "200", "--sample_interval_time", "60000"}, opts);
    EXPECT_EQ(run.result.exit_code, 0);
    EXPECT_TRUE(lines_match(
        run.result.out,
        {kFreq8650, kQdsp8650,
         "[WARN ] [KESTREL] nanosleep(): interrupted by a signal, it may be abnormal."}));
    expect_one_session(run, "cdsp");
}

TEST(Follow, ReportsUntilCtrlCOnTheSecondCdsp) {
    kestrel_test::ProcessOptions opts;
    opts.sigint_on_output = "hmx utilization";
    opts.sigint_on_output_count = 3;
    BoardRun run = run_on_board(
        "qcs9075", {"--follow", "--all", "--cdsp_index", "1", "--sample_time", "200"}, opts);
    EXPECT_EQ(run.result.exit_code, 0);
    const Lines report = all_lines("V73", "1200.000000", 0, 70, 40, 20);
    // The signal lands in the pause after the third report (the driver's warning), in the
    // fourth window (the session client's warning, and a fourth, shortened report) or between
    // them (no warning): apart from at most one warning, only whole reports are printed.
    Lines reports_only;
    int warnings = 0;
    for (const auto& line : kestrel_test::split_lines(run.result.out)) {
        if (line.rfind("[WARN ] [KESTREL] nanosleep(): interrupted by a signal", 0) == 0 ||
            line.rfind("[WARN ] [KestrelStub] nanosleep(): interrupted by a signal", 0) == 0) {
            ++warnings;
        } else {
            reports_only.push_back(line);
        }
    }
    EXPECT_LE(warnings, 1);
    const std::size_t reports = reports_only.size() / report.size();
    EXPECT_TRUE(reports == 3 || reports == 4) << run.result.out;
    Lines expected;
    for (std::size_t i = 0; i < reports; ++i) {
        expected.insert(expected.end(), report.begin(), report.end());
    }
    std::string joined;
    for (const auto& line : reports_only) {
        joined += line + "\n";
    }
    EXPECT_TRUE(lines_match(joined, expected));
    EXPECT_EQ(run.calls("remote_handle64_open").size(), 1u);
    EXPECT_EQ(run.invokes(5).size(), 2 * reports);
    EXPECT_EQ(run.invokes(4).size(), 1u);
    EXPECT_TRUE(left_clean(run));
}

// A load that moves between two steps: reports inside a step give its figures, a report across
// a boundary the mix of the two.
TEST(Follow, ALoadInStepsGivesEachStepAndTheirMixAcrossABoundary) {
    kestrel_test::ProcessOptions opts;
    opts.sigint_on_output = "hmx utilization";
    opts.sigint_on_output_count = 10;
    BoardRun run =
        run_on_board("steps_sm8650.json", {"--follow", "--all", "--sample_time", "250"}, opts);
    EXPECT_EQ(run.result.exit_code, 0);
    EXPECT_TRUE(e2e::follows_two_steps(run.result.out, {20, 10, 5}, {80, 50, 30}));
    EXPECT_TRUE(left_clean(run));
}

// ---- No DSP access --------------------------------------------------------------------------

TEST(NoDspAccess, RunLocalLoadsTheLibraryButOpensNoSession) {
    BoardRun run = run_on_board("sm8650", {"--run_local", "--all"});
    EXPECT_EQ(run.result.exit_code, 0);
    EXPECT_EQ(run.result.out, "[INFO ] [kestrel] run local model, do nothing .. .. ..\n");
    EXPECT_TRUE(no_session(run));
    EXPECT_TRUE(left_clean(run));
}

TEST(NoDspAccess, HelpAndVersionTouchNoPlatformCall) {
    for (const char* option : {"-h", "--version"}) {
        BoardRun run = run_on_board("sm8650", {option, "--all"});
        EXPECT_EQ(run.result.exit_code, 0) << option;
        EXPECT_FALSE(run.result.out.empty()) << option;
        for (const auto& line : run.trace) {
            EXPECT_EQ(line.value("call", ""), "exit") << option << ": " << line.dump();
        }
    }
}

// ---- Memory checking ------------------------------------------------------------------------

TEST(Valgrind, AllRunHasNoMemoryErrorAndNoLeak) {
#if KESTREL_E2E_SANITIZED
    GTEST_SKIP() << "valgrind does not run sanitizer builds";
#elif KESTREL_E2E_CROSS
    GTEST_SKIP() << "valgrind does not run programs of another processor";
#else
    if (access("/usr/bin/valgrind", X_OK) != 0) {
        GTEST_SKIP() << "valgrind is not installed";
    }
    kestrel_test::ProcessOptions opts;
    opts.env_set = {std::string("KESTREL_E2E_VALGRIND_TARGET=") + KESTREL_BIN};
    BoardRun run = run_on_board("sm8650", {"--all"}, opts, KESTREL_E2E_VALGRIND);
    EXPECT_EQ(run.result.exit_code, 0) << run.result.err;
    EXPECT_EQ(run.result.err, "");
    EXPECT_TRUE(lines_match(run.result.out, all_lines("V75", "1000.000000", 1000, 45, 25, 12)));
    EXPECT_TRUE(left_clean(run));
#endif
}

}  // namespace
