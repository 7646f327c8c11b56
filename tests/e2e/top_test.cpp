// kestrel-top on the virtual board, in a real terminal (tmux): the cores and their figures, the
// keys, the terminal's size, the ways out, recordings.
#include <signal.h>
#include <stdlib.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>

#include "top_support.h"

namespace top_test {
namespace {

using e2e::json;

// Every engine of `domain` shows its figure within a point of `want` (QDSP6, HVX, HMX order;
// one figure: the core alone).
testing::AssertionResult shows(const std::string& screen, const std::string& domain,
                               const std::vector<double>& want) {
    const std::map<std::string, double> got = figures(screen, domain);
    const char* const engines[] = {"QDSP6", "HVX", "HMX"};
    if (got.size() != want.size()) {
        return testing::AssertionFailure() << domain << " shows " << got.size() << " engines";
    }
    for (std::size_t i = 0; i < want.size(); ++i) {
        const auto found = got.find(engines[i]);
        if (found == got.end() || std::fabs(found->second - want[i]) > 1.0) {
            return testing::AssertionFailure()
                   << domain << " " << engines[i] << " is not near " << want[i];
        }
    }
    return testing::AssertionSuccess();
}

// The terminal is back to normal: line editing and echo on, the program's screen gone.
void expect_restored(const TopInTmux::End& end) {
    EXPECT_EQ(end.status, 0);
    EXPECT_NE(end.stty.find(" icanon"), std::string::npos) << end.stty;
    EXPECT_EQ(end.stty.find("-icanon"), std::string::npos) << end.stty;
    EXPECT_NE(end.stty.find(" echo "), std::string::npos) << end.stty;
    EXPECT_EQ(end.stty.find("-echo "), std::string::npos) << end.stty;
    EXPECT_EQ(end.screen.find("kestrel-top"), std::string::npos) << end.screen;
    EXPECT_TRUE(e2e::left_clean(end.run));
}

TEST(Top, FourCoresOfSa8797pWithTheirLoadsThenQuitWithQ) {
    TopInTmux top("sa8797p", {});
    ASSERT_TRUE(top.wait_for([](const std::string& s) {
        return shows(s, "nsp0", {45, 25, 12}) && shows(s, "nsp1", {30, 10, 5}) &&
               shows(s, "nsp2", {70, 40, 20}) && shows(s, "nsp3", {10, 0, 0});
    })) << top.last_screen();
    top.keys({"q"});
    expect_restored(top.finish());
}

#if !KESTREL_E2E_CROSS
// The other rows run on the host build only; the emulated build runs the one above.

// The plots start in this column, after the bars and figures.
constexpr std::size_t kPlotColumn = 39;

// The heights (cells drawn) of the plot columns beside `engine`'s bar in a one-core screen,
// oldest first, from the first column with a sample.
std::vector<int> plot_heights(const std::string& screen, const std::string& engine) {
    const std::vector<std::string> lines = kestrel_test::split_lines(screen);
    std::size_t first = lines.size();
    std::size_t end = lines.size();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const bool label = lines[i].rfind("  QDSP6 ", 0) == 0 || lines[i].rfind("  HVX ", 0) == 0 ||
                           lines[i].rfind("  HMX ", 0) == 0;
        if (first == lines.size() && lines[i].rfind("  " + engine + " ", 0) == 0) {
            first = i;
        } else if (first != lines.size() && label) {
            end = i;
            break;
        }
    }
    std::vector<int> heights;
    for (std::size_t column = kPlotColumn; column < 80; ++column) {
        int height = 0;
        for (std::size_t row = first; row < end; ++row) {
            height += column < lines[row].size() && lines[row][column] != ' ' ? 1 : 0;
        }
        if (height > 0 || !heights.empty()) {
            heights.push_back(height);
        }
    }
    return heights;
}

// Columns of `domain`'s QDSP6 plot row that hold a sample.
std::size_t plotted(const std::string& screen, const std::string& domain) {
    bool inside = false;
    for (const auto& line : kestrel_test::split_lines(screen)) {
        inside = inside || line.rfind("  " + domain + " ", 0) == 0 ||
                 line.rfind("> " + domain + " ", 0) == 0;
        if (inside && line.rfind("  QDSP6 ", 0) == 0) {
            const std::string plot = line.size() > kPlotColumn ? line.substr(kPlotColumn) : "";
            return plot.size() - std::min(plot.size(), plot.find_first_not_of(' '));
        }
    }
    return 0;
}

TEST(Top, TwoCoresOfQcs9075ThenSigterm) {
    TopInTmux top("qcs9075", {"--sample_time", "5000"});
    ASSERT_TRUE(top.wait_for([](const std::string& s) {
        return shows(s, "cdsp", {45, 25, 12}) && shows(s, "cdsp1", {70, 40, 20});
    })) << top.last_screen();
    // A 5 s window in progress does not hold the stop up.
    top.signal(SIGTERM);
    const auto start = std::chrono::steady_clock::now();
    const TopInTmux::End end = top.finish();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    expect_restored(end);
}

TEST(Top, LegacyCoreShowsTheScalarCoreOnly) {
    TopInTmux top("sm8250", {});
    ASSERT_TRUE(top.wait_for([](const std::string& s) { return shows(s, "cdsp", {45}); }))
        << top.last_screen();
    top.keys({"C-c"});
    expect_restored(top.finish());
}

TEST(Top, ASmallTerminalNamesTheSizeNeededAndAResizeRedraws) {
    TopInTmux top("sa8797p", {});
    ASSERT_TRUE(top.wait_for_text("nsp3"));
    top.resize(50, 12);
    ASSERT_TRUE(top.wait_for([](const std::string& s) {
        const auto lines = kestrel_test::split_lines(s);
        return !lines.empty() && lines[0] == "kestrel-top needs 80x21 (4 cores), have 50x12" &&
               s.find("nsp") == std::string::npos;
    })) << top.last_screen();
    top.resize(80, 24);
    ASSERT_TRUE(top.wait_for([](const std::string& s) {
        return shows(s, "nsp0", {45, 25, 12}) && shows(s, "nsp3", {10, 0, 0});
    })) << top.last_screen();
    top.keys({"q"});
    EXPECT_EQ(top.finish().status, 0);
}

TEST(Top, KeysChangeTheWindowChooseACoreAndPause) {
    TopInTmux top("sa8797p", {"--sample_time", "200"});
    ASSERT_TRUE(top.wait_for_text("window 200 ms"));
    top.keys({"+", "+", "-"});
    ASSERT_TRUE(top.wait_for_text("window 300 ms")) << top.last_screen();
    // Tab twice: nsp2 chosen; Enter shows it alone; Esc goes back (and does not quit).
    top.keys({"Tab", "Tab"});
    ASSERT_TRUE(top.wait_for_text("> nsp2")) << top.last_screen();
    top.keys({"Enter"});
    ASSERT_TRUE(top.wait_for([](const std::string& s) {
        return shows(s, "nsp2", {70, 40, 20}) && s.find("nsp0") == std::string::npos;
    })) << top.last_screen();
    top.keys({"Escape"});
    ASSERT_TRUE(top.wait_for_text("nsp0")) << top.last_screen();
    top.keys({"Space"});
    ASSERT_TRUE(top.wait_for_text("PAUSED")) << top.last_screen();
    top.keys({"?"});
    ASSERT_TRUE(top.wait_for_text("any key closes this help")) << top.last_screen();
    top.keys({"x", "Escape"});
    expect_restored(top.finish());
}

TEST(Top, AnIndexTheBoardDoesNotHaveIsAnErrorAtStart) {
    TopInTmux top("sa8797p", {"--cdsp_index", "4"});
    const TopInTmux::End end = top.finish();
    EXPECT_EQ(end.status, 255);
    EXPECT_NE(end.screen.find("kestrel-top: invalid cdsp_index 4"), std::string::npos)
        << end.screen;
}

TEST(Top, ARecordingReplaysWithTheSameFiguresAndNoDsp) {
    char pattern[] = "/tmp/kestrel-top-rec-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string recording = std::string(pattern) + "/rec.jsonl";
    std::vector<json> lines;
    {
        TopInTmux top("qcs9075", {"--sample_time", "200", "--record", recording});
        // Each window is in the file as soon as it completes.
        ASSERT_TRUE(top.wait_for([&](const std::string&) {
            std::ifstream in(recording);
            lines.clear();
            for (std::string line; std::getline(in, line);) {
                lines.push_back(json::parse(line));
            }
            return lines.size() >= 6;
        }));
        top.keys({"q"});
        ASSERT_EQ(top.finish().status, 0);
    }
    std::ifstream in(recording);
    lines.clear();
    std::map<std::string, std::vector<double>> last;
    for (std::string line; std::getline(in, line);) {
        const json event = json::parse(line);
        ASSERT_EQ(event.at("session"), "sampling") << line;
        last[event.at("domain")] = {event.at("qdsp6"), event.at("hvx"), event.at("hmx")};
    }
    ASSERT_EQ(last.size(), 2u);

    TopInTmux replay("qcs9075", {"--replay", recording});
    // Played to its end: each core shows its last recorded figures, to the tenth shown.
    ASSERT_TRUE(replay.wait_for([&](const std::string& s) {
        if (s.find("  end  ") == std::string::npos) {
            return false;
        }
        for (const auto& [domain, want] : last) {
            const std::map<std::string, double> got = figures(s, domain);
            if (got.size() != 3 || std::fabs(got.at("QDSP6") - want[0]) > 0.051 ||
                std::fabs(got.at("HVX") - want[1]) > 0.051 ||
                std::fabs(got.at("HMX") - want[2]) > 0.051) {
                return false;
            }
        }
        return true;
    })) << replay.last_screen();
    replay.keys({"q"});
    const TopInTmux::End end = replay.finish();
    EXPECT_EQ(end.status, 0);
    EXPECT_TRUE(e2e::no_session(end.run));
    std::filesystem::remove_all(pattern);
}

TEST(Top, WithoutATerminalOrWithABadRecordingItDoesNotStart) {
    // Standard output is a pipe here.
    e2e::BoardRun run = e2e::run_on_board("sa8797p", {}, {}, KESTREL_TOP_BIN);
    EXPECT_EQ(run.result.exit_code, 2);
    EXPECT_NE(run.result.err.find("kestrel-exporter --once"), std::string::npos) << run.result.err;
    EXPECT_TRUE(e2e::no_session(run));

    char pattern[] = "/tmp/kestrel-top-bad-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string bad = std::string(pattern) + "/bad.jsonl";
    std::ofstream(bad) << R"({"time":1,"index":0,"domain":"cdsp","session":"opening",)"
                       << R"("temperature":null,"remoteproc":null})"
                       << "\n{\"time\": 2\n";
    run = e2e::run_on_board("sa8797p", {"--replay", bad}, {}, KESTREL_TOP_BIN);
    EXPECT_EQ(run.result.exit_code, 255);
    EXPECT_NE(run.result.err.find(bad + ":2: "), std::string::npos) << run.result.err;

    // A time no clock can hold, on its third line.
    const std::string far = std::string(pattern) + "/far.jsonl";
    const std::string event = R"("index":0,"domain":"cdsp","session":"opening",)"
                              R"("temperature":null,"remoteproc":null})";
    std::ofstream(far) << "{\"time\":1," << event << "\n{\"time\":2," << event
                       << "\n{\"time\":1e300," << event << "\n";
    run = e2e::run_on_board("sa8797p", {"--replay", far}, {}, KESTREL_TOP_BIN);
    EXPECT_EQ(run.result.exit_code, 255);
    EXPECT_NE(
        run.result.err.find(far + ":3: field \"time\" is 1e+300, not a time within 1970..2100"),
        std::string::npos)
        << run.result.err;
    std::filesystem::remove_all(pattern);

    // A terminal that cannot move its cursor is refused, by its name, with no session opened.
    TopInTmux dumb("sa8797p", {}, 80, 24, KESTREL_TOP_BIN, {"TERM=dumb"});
    const TopInTmux::End end = dumb.finish();
    EXPECT_EQ(end.status, 255);
    EXPECT_NE(end.screen.find("kestrel-top: the terminal (TERM=dumb) cannot move its cursor"),
              std::string::npos)
        << end.screen;
    EXPECT_TRUE(e2e::no_session(end.run));
}

TEST(Top, ARecordingThatCannotBeWrittenFailsTheRunOnceTheScreenIsClosed) {
    TopInTmux top("sm8650", {"--sample_time", "100", "--record", "/dev/full"});
    ASSERT_TRUE(top.wait_for([](const std::string& s) {
        return shows(s, "cdsp", {45, 25, 12});
    })) << top.last_screen();
    top.keys({"q"});
    const TopInTmux::End end = top.finish();
    EXPECT_EQ(end.status, 255);
    EXPECT_NE(end.screen.find("kestrel-top: cannot write the recording /dev/full: No space left "
                              "on device"),
              std::string::npos)
        << end.screen;
    EXPECT_TRUE(e2e::left_clean(end.run));
}

TEST(Top, ALoadStepShowsInThePlot) {
    TopInTmux top("top_load_step.json", {"--sample_time", "500"});
    // 10 % before the step, 90 % after it: one cell of the seven-row plot, then all seven.
    ASSERT_TRUE(top.wait_for([](const std::string& s) {
        const std::vector<int> heights = plot_heights(s, "QDSP6");
        return shows(s, "cdsp", {90, 50, 30}) && heights.size() >= 3 && heights.front() == 1 &&
               heights.back() == 7;
    })) << top.last_screen();
    top.keys({"q"});
    EXPECT_EQ(top.finish().status, 0);
}

TEST(Top, ACrashedDspShowsItsCoreDownWhileTheOthersGoOnThenBack) {
    // nsp1's DSP is crashed from 1 s to 2.5 s after the start.
    TopInTmux top("top_crash.json", {"--sample_time", "300"});
    const std::regex down(
        "  nsp1  1400 MHz  DOWN: (open|sample) failed \\(0x80000608: the DSP process died");
    const auto is_down = [&](const std::string& s) { return std::regex_search(s, down); };
    ASSERT_TRUE(top.wait_for(is_down)) << top.last_screen();
    const std::size_t others = plotted(top.last_screen(), "nsp0");
    const std::size_t before = plotted(top.last_screen(), "nsp1");
    // While it is down, the other cores go on.
    ASSERT_TRUE(top.wait_for([&](const std::string& s) {
        return is_down(s) && plotted(s, "nsp0") > others &&
               s.find("remoteproc crashed") != std::string::npos;
    })) << top.last_screen();
    // Reopened: sampling again, with new samples.
    ASSERT_TRUE(top.wait_for([&](const std::string& s) {
        return s.find("nsp1  1400 MHz  sampling") != std::string::npos &&
               s.find("DOWN") == std::string::npos && plotted(s, "nsp1") > before &&
               shows(s, "nsp1", {30, 10, 5});
    })) << top.last_screen();
    top.keys({"q"});
    expect_restored(top.finish());
}

#if !KESTREL_E2E_SANITIZED
TEST(Top, UnderValgrindNoMemoryErrorAndNoLeak) {
    // valgrind-kestrel ends the run with status 99 on any error or leak.
    TopInTmux top("sa8797p", {"--sample_time", "300"}, 80, 24, KESTREL_E2E_VALGRIND,
                  {std::string("KESTREL_E2E_VALGRIND_TARGET=") + KESTREL_TOP_BIN});
    ASSERT_TRUE(top.wait_for(
        [](const std::string& s) {
            return shows(s, "nsp3", {10, 0, 0});
        },
        std::chrono::seconds(60)))
        << top.last_screen();
    top.keys({"Tab", "Enter", "h", "x", "Escape", "q"});
    expect_restored(top.finish());
}
#endif

#endif

}  // namespace
}  // namespace top_test
