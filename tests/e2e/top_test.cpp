// kestrel-top on the virtual board, in a real terminal (tmux) or a pty of its own: the cores and
// their figures, the keys, the terminal's size, the ways out, recordings, a crashed DSP, and a
// terminal that stops reading.
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <thread>

#include "top_support.h"

namespace top_test {
namespace {

using e2e::json;
using std::chrono::milliseconds;

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

// The escape sequence that sets the colour of the bar of `engine` in `domain`'s panel, from a
// screen captured with its attributes: the last one before the bar's first filled cell.
std::string bar_colour(const std::string& screen, const std::string& domain,
                       const std::string& engine) {
    static const std::regex sgr("\x1b\\[[0-9;]*m");
    bool inside = false;
    for (const auto& line : kestrel_test::split_lines(screen)) {
        const std::string plain = std::regex_replace(line, sgr, "");
        inside = inside || plain.find(" " + domain + " ") != std::string::npos;
        const std::size_t label = line.find(" " + engine + " ");
        if (!inside || label == std::string::npos) {
            continue;
        }
        const std::size_t cell = line.find("█", label);
        const std::size_t set = line.rfind("\x1b[", cell);
        return cell == std::string::npos || set == std::string::npos
                   ? ""
                   : line.substr(set, line.find('m', set) + 1 - set);
    }
    return "";
}

TEST(Top, FourCoresOfSa8797pWithTheirLoadsInColourThenQuitWithQ) {
    TopInTmux top("sa8797p", {});
    ASSERT_TRUE(top.wait_for([](const std::string& s) {
        return shows(s, "nsp0", {45, 25, 12}) && shows(s, "nsp1", {30, 10, 5}) &&
               shows(s, "nsp2", {70, 40, 20}) && shows(s, "nsp3", {10, 0, 0}) &&
               s.find("▄") != std::string::npos;
    })) << top.last_screen();
    // Below 50 % green, from 50 % yellow.
    const std::string coloured = top.screen(true);
    EXPECT_EQ(bar_colour(coloured, "nsp0", "QDSP6"), "\x1b[32m") << coloured;
    EXPECT_EQ(bar_colour(coloured, "nsp2", "QDSP6"), "\x1b[33m") << coloured;
    top.keys({"q"});
    expect_restored(top.finish());
}

#if !KESTREL_E2E_CROSS
// The other rows run on the host build only; the emulated build runs the one above.

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

TEST(Top, OutsideUtf8TheScreenIsAsciiAndALegacyCoreShowsTheScalarCoreOnly) {
    TopInTmux top("sm8250", {}, 80, 24, KESTREL_TOP_BIN, {"LANG=C"});
    ASSERT_TRUE(top.wait_for([](const std::string& s) {
        return shows(s, "cdsp", {45}) && s.find('#') != std::string::npos;
    })) << top.last_screen();
    for (const char c : top.last_screen()) {
        ASSERT_TRUE(c > 0 && c < 0x7f) << top.last_screen();
    }
    top.keys({"C-c"});
    expect_restored(top.finish());
}

TEST(Top, ASmallTerminalShowsTheWholePanelsThatFitAndScrollsToTheChosenOne) {
    TopInTmux top("sa8797p", {}, 80, 15);
    ASSERT_TRUE(top.wait_for([](const std::string& s) {
        return s.find("cores 1-2 of 4") != std::string::npos && shows(s, "nsp0", {45, 25, 12}) &&
               shows(s, "nsp1", {30, 10, 5}) && s.find("nsp2") == std::string::npos;
    })) << top.last_screen();
    top.keys({"Down", "Down", "Down"});
    ASSERT_TRUE(top.wait_for([](const std::string& s) {
        return s.find("cores 3-4 of 4") != std::string::npos && shows(s, "nsp3", {10, 0, 0}) &&
               s.find("> nsp3 ") != std::string::npos;
    })) << top.last_screen();
    // Below the smallest size, one line names it; larger again, every core.
    top.resize(39, 12);
    ASSERT_TRUE(top.wait_for([](const std::string& s) {
        const auto lines = kestrel_test::split_lines(s);
        return lines.size() >= 2 &&
               lines[0] + " " + lines[1] == "kestrel-top needs at least 40x10, have 39x12" &&
               s.find("nsp") == std::string::npos;
    })) << top.last_screen();
    top.resize(80, 24);
    ASSERT_TRUE(top.wait_for([](const std::string& s) {
        return shows(s, "nsp0", {45, 25, 12}) && shows(s, "nsp3", {10, 0, 0});
    })) << top.last_screen();
    top.keys({"q"});
    expect_restored(top.finish());
}

TEST(Top, TheFirstKeyAnArrowMovesTheChoiceAndTheKeysChangeTheWindowAndPause) {
    TopInTmux top("sa8797p", {"--sample_time", "200"});
    ASSERT_TRUE(top.wait_for_text("> nsp0 ")) << top.last_screen();
    // Down as a terminal in normal cursor mode sends it, then as the keypad's application mode
    // does (tmux's Down, in the mode the program set): neither quits.
    top.raw_keys("1b 5b 42");
    ASSERT_TRUE(top.wait_for_text("> nsp1 ")) << top.last_screen();
    top.keys({"Down"});
    ASSERT_TRUE(top.wait_for_text("> nsp2 ")) << top.last_screen();
    top.keys({"+", "+", "-"});
    ASSERT_TRUE(top.wait_for_text("window 300 ms")) << top.last_screen();
    // Enter shows nsp2 alone; Esc goes back (and does not quit).
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
    // A lone Esc quits.
    top.keys({"x", "Escape"});
    expect_restored(top.finish());
}

TEST(Top, AStartUpErrorIsToldOnTheNormalScreenWithoutSettingTheTerminalUp) {
    TopInPty top("sa8797p", {"--cdsp_index", "4"});
    EXPECT_EQ(top.wait(milliseconds(10000)), 255);
    top.read_until([](const std::string&) { return true; }, milliseconds(0));
    EXPECT_NE(top.output().find("kestrel-top: invalid cdsp_index 4"), std::string::npos)
        << top.output();
    // Neither the alternate screen nor the keypad's mode, nor any other escape sequence.
    EXPECT_EQ(top.output().find('\x1b'), std::string::npos) << top.output();
}

// A recording of qcs9075's two cores, `windows` windows of 200 ms, in `path`.
void record(const std::string& path, std::size_t windows, std::vector<json>* lines) {
    TopInTmux top("qcs9075", {"--sample_time", "200", "--record", path});
    // Each window is in the file as soon as it completes.
    ASSERT_TRUE(top.wait_for([&](const std::string&) {
        std::ifstream in(path);
        lines->clear();
        for (std::string line; std::getline(in, line);) {
            lines->push_back(json::parse(line));
        }
        return lines->size() >= 2 * windows;
    }));
    top.keys({"q"});
    ASSERT_EQ(top.finish().status, 0);
}

TEST(Top, ARecordingReplaysWithTheSameFiguresStepsBackAndForthAndUsesNoDsp) {
    char pattern[] = "/tmp/kestrel-top-rec-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string recording = std::string(pattern) + "/rec.jsonl";
    std::vector<json> lines;
    record(recording, 3, &lines);
    std::ifstream in(recording);
    std::map<std::string, std::vector<double>> last;
    for (std::string line; std::getline(in, line);) {
        const json event = json::parse(line);
        ASSERT_EQ(event.at("session"), "sampling") << line;
        last[event.at("domain")] = {event.at("qdsp6"), event.at("hvx"), event.at("hmx")};
    }
    ASSERT_EQ(last.size(), 2u);

    TopInTmux replay("qcs9075", {"--replay", recording});
    // Played to its end: each core shows its last recorded figures, to the tenth shown; the
    // position is the recording's time and its windows.
    const std::regex end("00:00 / 00:0[0-9]  window ([0-9]+)/\\1  end");
    ASSERT_TRUE(replay.wait_for([&](const std::string& s) {
        if (!std::regex_search(s, end)) {
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
    std::smatch match;
    const std::string screen = replay.last_screen();
    std::regex_search(screen, match, end);
    const int windows = std::stoi(match[1]);
    ASSERT_GE(windows, 2);
    // [ steps back a window, ] forward again.
    replay.keys({"["});
    ASSERT_TRUE(replay.wait_for_text("window " + std::to_string(windows - 1) + "/"))
        << replay.last_screen();
    replay.keys({"]"});
    ASSERT_TRUE(replay.wait_for_text("window " + std::to_string(windows) + "/"))
        << replay.last_screen();
    replay.keys({"q"});
    const TopInTmux::End ended = replay.finish();
    EXPECT_EQ(ended.status, 0);
    EXPECT_TRUE(e2e::no_session(ended.run));
    std::filesystem::remove_all(pattern);
}

TEST(Top, WithoutATerminalOrWithAMalformedRecordingItDoesNotStart) {
    // Standard output is a pipe here.
    e2e::BoardRun run = e2e::run_on_board("sa8797p", {}, {}, KESTREL_TOP_BIN);
    EXPECT_EQ(run.result.exit_code, 2);
    EXPECT_NE(run.result.err.find("kestrel-exporter --once"), std::string::npos) << run.result.err;
    EXPECT_TRUE(e2e::no_session(run));

    char pattern[] = "/tmp/kestrel-top-bad-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    // A line without its temperature, on the third line: told by its field, in words.
    const std::string bad = std::string(pattern) + "/bad.jsonl";
    const std::string event = R"({"time":1,"index":0,"domain":"cdsp","session":"opening",)"
                              R"("temperature":null,"remoteproc":null})";
    std::ofstream(bad) << event << "\n\n"
                       << R"({"time":2,"index":0,"domain":"cdsp",)"
                       << R"("session":"opening","remoteproc":null})"
                       << "\n";
    run = e2e::run_on_board("sa8797p", {"--replay", bad}, {}, KESTREL_TOP_BIN);
    EXPECT_EQ(run.result.exit_code, 255);
    EXPECT_EQ(run.result.err, "kestrel-top: " + bad + ":3: field \"temperature\" is missing\n");
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

// The heights (cells drawn) of the plot columns of `engine` in the one core's panel of an ASCII
// screen, oldest first, from the first column with a sample.
std::vector<int> plot_heights(const std::string& screen, const std::string& engine) {
    const std::vector<std::string> lines = kestrel_test::split_lines(screen);
    std::size_t first = lines.size();
    std::size_t axis = std::string::npos;
    for (std::size_t i = 0; i < lines.size() && first == lines.size(); ++i) {
        if (lines[i].rfind("| " + engine + " ", 0) == 0) {
            first = i;
            axis = lines[i].find("100+");
        }
    }
    std::vector<int> heights;
    if (axis == std::string::npos) {
        return heights;
    }
    for (std::size_t column = axis + 4; column + 1 < lines[first].size(); ++column) {
        int height = 0;
        for (std::size_t row = first; row < lines.size(); ++row) {
            const std::string& line = lines[row];
            if (row > first && line.find("100+") != std::string::npos) {
                break;  // the next engine's band
            }
            height += column < line.size() && line[column] != ' ' ? 1 : 0;
        }
        if (height > 0 || !heights.empty()) {
            heights.push_back(height);
        }
    }
    return heights;
}

TEST(Top, ALoadStepShowsInThePlot) {
    TopInTmux top("top_load_step.json", {"--sample_time", "500"}, 80, 24, KESTREL_TOP_BIN,
                  {"LANG=C"});
    // 10 % before the step, 90 % after it: one cell of the six-row plot, then all six.
    ASSERT_TRUE(top.wait_for([](const std::string& s) {
        const std::vector<int> heights = plot_heights(s, "QDSP6");
        return shows(s, "cdsp", {90, 50, 30}) && heights.size() >= 3 && heights.front() == 1 &&
               heights.back() == 6;
    })) << top.last_screen();
    top.keys({"q"});
    EXPECT_EQ(top.finish().status, 0);
}

// The column of the newest sample in `domain`'s QDSP6 plot (its last drawn cell), or -1.
int newest_column(const std::string& screen, const std::string& domain) {
    for (const std::string& row : panel(screen, domain)) {
        if (row.find(" QDSP6 ") != std::string::npos) {
            const std::size_t end = row.find_last_not_of(" |│", row.size());
            return end == std::string::npos ? -1 : static_cast<int>(end);
        }
    }
    return -1;
}

TEST(Top, ACrashedDspIsDownWithoutFiguresUntilItRunsAgainThenInStepWithTheOthers) {
    // nsp1's DSP is crashed from 1 s to 2.5 s after the start; windows of 300 ms.
    TopInTmux top("top_crash.json", {"--sample_time", "300"}, 80, 24, KESTREL_TOP_BIN, {"LANG=C"});
    const auto down = [](const std::string& s) {
        const std::vector<std::string> rows = panel(s, "nsp1");
        return !rows.empty() && rows[0].find("DOWN, reopening") != std::string::npos;
    };
    const std::regex failed(
        "DOWN: (sample|open) failed \\(0x80000608: the DSP process died or could not start\\)");
    ASSERT_TRUE(top.wait_for(down)) << top.last_screen();
    const auto first_down = std::chrono::steady_clock::now();
    auto last_down = first_down;
    bool crashed = false;
    // While down: what failed in words, the processor's state, and no figure of the core.
    while (down(top.last_screen())) {
        last_down = std::chrono::steady_clock::now();
        std::string text;
        for (const std::string& row : panel(top.last_screen(), "nsp1")) {
            text += row + "\n";
        }
        EXPECT_EQ(text.find('%'), std::string::npos) << text;
        EXPECT_TRUE(std::regex_search(text, failed)) << text;
        crashed = crashed || text.find("remoteproc crashed") != std::string::npos;
        ASSERT_LT(last_down - first_down, std::chrono::seconds(10));
        top.wait_for([](const std::string&) { return true; });
    }
    EXPECT_TRUE(crashed);
    // Down no longer than the crash and two windows.
    EXPECT_LE(last_down - first_down, milliseconds(1500 + 2 * 300));
    // Sampling again, its newest column where the other cores' is.
    ASSERT_TRUE(top.wait_for([](const std::string& s) {
        return shows(s, "nsp1", {30, 10, 5}) &&
               newest_column(s, "nsp1") == newest_column(s, "nsp0") && newest_column(s, "nsp0") > 0;
    })) << top.last_screen();
    top.keys({"q"});
    expect_restored(top.finish());
}

// kestrel-top in a terminal that stops reading, then each stop signal: the program ends within
// a second all the same, its sessions closed.
void ends_in_a_stalled_terminal(int signo) {
    TopInPty top("sa8797p", {"--sample_time", "200"});
    ASSERT_TRUE(
        top.read_until([](const std::string& out) { return out.find("nsp3") != std::string::npos; },
                       milliseconds(TopInTmux::kDeadlineMs)))
        << top.output();
    // No longer read; each new size is drawn anew (up to 60 KB), until the terminal takes no
    // more.
    for (int i = 0; i < 100; ++i) {
        top.resize(i % 2 == 0 ? 250 : 240, i % 2 == 0 ? 80 : 70);
        std::this_thread::sleep_for(milliseconds(5));
    }
    std::this_thread::sleep_for(milliseconds(300));
    ASSERT_TRUE(top.full()) << "the terminal still takes output";
    top.signal(signo);
    EXPECT_GE(top.wait(milliseconds(1000)), 0) << "not ended within a second of " << signo;
    EXPECT_TRUE(e2e::left_clean(top.run()));
}

TEST(Top, ATerminalThatStopsReadingHoldsNeitherSigtermNorTheSessions) {
    ends_in_a_stalled_terminal(SIGTERM);
}

TEST(Top, ATerminalThatStopsReadingHoldsNeitherSighupNorTheSessions) {
    ends_in_a_stalled_terminal(SIGHUP);
}

TEST(Top, ATerminalThatStopsReadingHoldsNeitherSigintNorTheSessions) {
    ends_in_a_stalled_terminal(SIGINT);
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
