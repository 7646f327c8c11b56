// kestrel-stat on the virtual board: the summary of steady boards and of a workload of known
// duty, the command's status and signals, measuring without a command, the JSON against its
// schema, the timeline's structure, and recordings that cross between kestrel-stat and
// kestrel-top. Every run leaves every session closed.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "top_support.h"

namespace {

using e2e::json;

// A folder of the test's own, for its files and its board's workloads.
class StatTest : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kestrel-stat-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    std::string file(const std::string& name) const { return dir_ + "/" + name; }

    // kestrel-stat with `args` on `board`, the board's workloads met in the test's folder.
    e2e::BoardRun stat(const std::string& board, const std::vector<std::string>& args,
                       kestrel_test::ProcessOptions opts = {}) const {
        opts.env_set.push_back("KESTREL_SIM_WORKLOADS=" + dir_ + "/workloads");
        return e2e::run_on_board(board, args, opts, KESTREL_STAT_BIN);
    }

    std::string dir_;
};

json read_json(const std::string& path) {
    std::ifstream in(path);
    return json::parse(in, nullptr, false);
}

// The document is valid against the schema the manual page carries.
testing::AssertionResult valid(const std::string& path) {
    const kestrel_test::ProcessResult r = kestrel_test::run_process(
        {"/usr/bin/python3", "-c",
         "import json, sys, jsonschema\n"
         "jsonschema.validate(json.load(open(sys.argv[2])), json.load(open(sys.argv[1])))",
         KESTREL_STAT_SCHEMA, path});
    if (r.exit_code != 0) {
        return testing::AssertionFailure() << r.err;
    }
    return testing::AssertionSuccess();
}

const json& core(const json& doc, const std::string& domain) {
    for (const json& c : doc.at("cores")) {
        if (c.at("domain") == domain) {
            return c;
        }
    }
    static const json none;
    ADD_FAILURE() << "no core " << domain;
    return none;
}

// The timeline's structure: every event with its fields, counters of the engines within
// 0..100, each counter track's timestamps ascending, one slice for the run, as long as the run;
// a named process for each of `cores` cores.
testing::AssertionResult timeline(const std::string& path, double duration_s, std::size_t cores) {
    const json doc = read_json(path);
    if (!doc.is_object() || !doc.contains("traceEvents") || !doc["traceEvents"].is_array()) {
        return testing::AssertionFailure() << path << " has no traceEvents";
    }
    std::map<std::pair<std::uint64_t, std::string>, double> last_ts;
    std::set<std::uint64_t> named;
    int runs = 0;
    for (const json& e : doc["traceEvents"]) {
        const std::string ph = e.value("ph", "");
        if (!e["name"].is_string() || !e["pid"].is_number_unsigned() ||
            !e["tid"].is_number_unsigned() || !e["ts"].is_number() || !e["args"].is_object()) {
            return testing::AssertionFailure() << "malformed event " << e.dump();
        }
        const std::uint64_t pid = e["pid"];
        if (ph == "C") {
            const std::string name = e["name"];
            if (e["args"].size() != 1 || !e["args"].begin()->is_number()) {
                return testing::AssertionFailure() << "counter without one value " << e.dump();
            }
            const double value = *e["args"].begin();
            if ((name == "QDSP6" || name == "HVX" || name == "HMX") &&
                !(value >= 0.0 && value <= 100.0)) {
                return testing::AssertionFailure() << "utilisation out of range " << e.dump();
            }
            const auto track = std::make_pair(pid, name);
            const double ts = e["ts"];
            if (last_ts.count(track) != 0 && ts < last_ts[track]) {
                return testing::AssertionFailure() << "time goes back on its track " << e.dump();
            }
            last_ts[track] = ts;
        } else if (ph == "X") {
            if (!e["dur"].is_number() || e["dur"] < 0 || !e["cat"].is_string()) {
                return testing::AssertionFailure() << "malformed slice " << e.dump();
            }
            if (e["cat"] == "run") {
                ++runs;
                if (std::fabs(e["dur"].get<double>() - duration_s * 1e6) > 1000.0) {
                    return testing::AssertionFailure() << "run slice of " << e["dur"] << " us";
                }
            }
        } else if (ph == "M") {
            if (e["name"] == "process_name" && e["args"].contains("name")) {
                named.insert(pid);
            }
        } else {
            return testing::AssertionFailure() << "unknown phase " << e.dump();
        }
    }
    if (runs != 1) {
        return testing::AssertionFailure() << runs << " slices for the run";
    }
    if (named.size() != cores + 1) {
        return testing::AssertionFailure() << named.size() << " named processes";
    }
    return testing::AssertionSuccess();
}

struct Load {
    std::string domain;
    double qdsp6, hvx, hmx;
};

TEST_F(StatTest, ASteadyBoardsMeansAreItsProfilesLoads) {
    const std::map<std::string, std::vector<Load>> boards = {
        {"sa8797p",
         {{"nsp0", 45, 25, 12}, {"nsp1", 30, 10, 5}, {"nsp2", 70, 40, 20}, {"nsp3", 10, 0, 0}}},
        {"qcs9075", {{"cdsp", 45, 25, 12}, {"cdsp1", 70, 40, 20}}},
        {"sm8250", {{"cdsp", 45, -1, -1}}}};  // legacy: the scalar core only
    for (const auto& [board, loads] : boards) {
        const std::string json_path = file(board + ".json");
        const e2e::BoardRun run =
            stat(board, {"--sample_time", "50", "--json", json_path, "--", "sleep", "0.3"});
        ASSERT_EQ(run.result.exit_code, 0) << board << ": " << run.result.err;
        EXPECT_TRUE(e2e::left_clean(run)) << board;
        ASSERT_TRUE(valid(json_path)) << board;
        const json doc = read_json(json_path);
        ASSERT_EQ(doc["cores"].size(), loads.size()) << board;
        EXPECT_EQ(doc["exit_status"], 0);
        EXPECT_NEAR(doc["duration_s"].get<double>(), 0.3, 0.2);
        for (const Load& load : loads) {
            const json& c = core(doc, load.domain);
            EXPECT_GE(c["windows"].get<int>(), 5) << load.domain;
            EXPECT_NEAR(c["qdsp6"]["mean"].get<double>(), load.qdsp6, 0.05) << load.domain;
            EXPECT_EQ(c["qdsp6"]["peak"], c["qdsp6"]["median"]) << load.domain;
            if (load.hvx < 0) {
                EXPECT_TRUE(c["hvx"].is_null() && c["hmx"].is_null()) << board;
                continue;
            }
            EXPECT_NEAR(c["hvx"]["mean"].get<double>(), load.hvx, 0.05) << load.domain;
            EXPECT_NEAR(c["hmx"]["mean"].get<double>(), load.hmx, 0.05) << load.domain;
        }
        // The summary on standard error: a row per engine and core.
        const std::string& err = run.result.err;
        const std::size_t rows = loads.size() * (loads[0].hvx < 0 ? 1 : 3);
        std::size_t seen = 0;
        for (const std::string& line : kestrel_test::split_lines(err)) {
            seen += line.find("QDSP6  ") != std::string::npos ||
                            line.find(" HVX  ") != std::string::npos ||
                            line.find(" HMX  ") != std::string::npos
                        ? 1
                        : 0;
        }
        EXPECT_EQ(seen, rows) << err;
        EXPECT_EQ(err.rfind("kestrel-stat: sleep 0.3 exited with 0 after ", 0), 0u) << err;
    }
}

TEST_F(StatTest, AWorkloadOfKnownDutyOnAnIdleBoardIsAllThereIs) {
#if KESTREL_E2E_CROSS
    GTEST_SKIP() << "the emulated kestrel-stat cannot start the workload, a program of the target";
#endif
    // Half a second of 50 % core, 60 % of it HVX, on nsp2, within about a second; and 40 % on
    // nsp1 from the start until it is killed, a quarter of a second before the end.
    const std::string json_path = file("run.json");
    const std::string trace_path = file("run.trace.json");
    const std::string recording = file("run.jsonl");
    const e2e::BoardRun run = stat(
        "idle-sa8797p", {"--sample_time", "50", "--json", json_path, "--trace-json", trace_path,
                         "--record", recording, "--", "sh", "-c",
                         "kestrel-sim-workload --domain nsp1 --core 0.4 & killed=$!; sleep 0.25; "
                         "kestrel-sim-workload --domain nsp2 --core 0.5 --hvx 0.6 --seconds 0.5; "
                         "kill $killed; sleep 0.25"});
    ASSERT_EQ(run.result.exit_code, 0) << run.result.err;
    EXPECT_TRUE(e2e::left_clean(run));
    ASSERT_TRUE(valid(json_path));
    const json doc = read_json(json_path);
    const json& nsp2 = core(doc, "nsp2");
    // Whole windows inside the workload read its loads exactly.
    EXPECT_NEAR(nsp2["qdsp6"]["peak"].get<double>(), 50.0, 0.05);
    EXPECT_NEAR(nsp2["qdsp6"]["p95"].get<double>(), 50.0, 0.05);
    EXPECT_NEAR(nsp2["hvx"]["peak"].get<double>(), 60.0, 0.05);
    EXPECT_NEAR(nsp2["hvx"]["p95"].get<double>(), 60.0, 0.05);
    // The killed workload's load went with it: nsp1's last window reads nothing. nsp2's windows
    // are not back to back (each starts with a reading a moment after the last one ended); the
    // gaps between them, from the recording, are not measured.
    EXPECT_NEAR(core(doc, "nsp1")["qdsp6"]["peak"].get<double>(), 40.0, 0.05);
    double nsp1_last = -1.0;
    double nsp2_end = 0.0, nsp2_gaps = 0.0;
    std::ifstream lines(recording);
    for (std::string line; std::getline(lines, line);) {
        const json event = json::parse(line);
        if (event["domain"] == "nsp1" && event.contains("qdsp6")) {
            nsp1_last = event["qdsp6"];
        }
        if (event["domain"] == "nsp2" && event.contains("measured_ms")) {
            const double end = event["monotonic"];
            const double start = end - event["measured_ms"].get<double>() / 1000.0;
            nsp2_gaps += nsp2_end > 0.0 ? std::max(0.0, start - nsp2_end) : 0.0;
            nsp2_end = end;
        }
    }
    EXPECT_EQ(nsp1_last, 0.0);
    // The mean is the duty over the time measured: 0.25 s of busy core, less what fell into the
    // gaps (at most half of them), within 20 ms (the workload's own start and end).
    const double busy =
        nsp2["qdsp6"]["mean"].get<double>() / 100.0 * nsp2["measured_s"].get<double>();
    EXPECT_LE(busy, 0.25 + 0.02) << "gaps " << nsp2_gaps << " s";
    EXPECT_GE(busy, 0.25 - 0.5 * nsp2_gaps - 0.02) << "gaps " << nsp2_gaps << " s";
    EXPECT_EQ(nsp2["hmx"]["peak"], 0.0);
    for (const char* other : {"nsp0", "nsp3"}) {
        for (const char* engine : {"qdsp6", "hvx", "hmx"}) {
            EXPECT_EQ(core(doc, other)[engine]["peak"], 0.0) << other << " " << engine;
        }
    }
    EXPECT_TRUE(timeline(trace_path, doc["duration_s"], 4));

    // The recording gives the same summary again, with no DSP.
    const std::string again = file("again.json");
    const e2e::BoardRun replay =
        stat("idle-sa8797p", {"--replay", recording, "--json", again, "-o", file("again.txt")});
    ASSERT_EQ(replay.result.exit_code, 0) << replay.result.err;
    EXPECT_TRUE(e2e::no_session(replay));
    const json second = read_json(again);
    for (const json& c : doc["cores"]) {
        const json& d = core(second, c["domain"]);
        EXPECT_EQ(c["windows"], d["windows"]);
        // The recording keeps the figures to a thousandth of a point, which can move a figure
        // by one of the distribution's hundredths.
        for (const char* engine : {"qdsp6", "hvx", "hmx"}) {
            for (const char* figure : {"mean", "median", "p95", "peak", "above_90_share"}) {
                EXPECT_NEAR(c[engine][figure].get<double>(), d[engine][figure].get<double>(), 0.011)
                    << c["domain"] << " " << engine << " " << figure;
            }
        }
    }
}

TEST_F(StatTest, AnOutageAndAHotZoneAreToldWithTheirTimes) {
#if KESTREL_E2E_CROSS
    GTEST_SKIP() << "under the emulator the board's state files keep their state, and kestrel-stat "
                    "starts later than the crash";
#endif
    // nsp1's DSP is down from 0.4 s after kestrel-stat started, for 0.5 s; nsp2 runs hot.
    const std::string json_path = file("crash.json");
    const std::string trace_path = file("crash.trace.json");
    const e2e::BoardRun run = stat(
        "stat_crash.json", {"--json", json_path, "--trace-json", trace_path, "--", "sleep", "1.3"});
    ASSERT_EQ(run.result.exit_code, 0) << run.result.err;
    EXPECT_TRUE(e2e::left_clean(run));
    ASSERT_TRUE(valid(json_path));
    const json doc = read_json(json_path);
    const json& outages = core(doc, "nsp1")["outages"];
    ASSERT_EQ(outages.size(), 1u) << outages.dump();
    EXPECT_GT(outages[0]["start_s"].get<double>(), 0.1);
    EXPECT_LT(outages[0]["start_s"].get<double>(), 0.5);
    EXPECT_GT(outages[0]["duration_s"].get<double>(), 0.3);
    EXPECT_LT(outages[0]["duration_s"].get<double>(), 1.0);
    EXPECT_NE(outages[0]["what"].get<std::string>().find("remoteproc crashed"), std::string::npos)
        << outages[0]["what"];
    // Nothing is averaged over the time it was down.
    EXPECT_LT(core(doc, "nsp1")["measured_s"].get<double>(),
              doc["duration_s"].get<double>() - outages[0]["duration_s"].get<double>() + 0.1);
    EXPECT_NEAR(core(doc, "nsp1")["qdsp6"]["mean"].get<double>(), 30.0, 0.05);
    for (const char* other : {"nsp0", "nsp2", "nsp3"}) {
        EXPECT_TRUE(core(doc, other)["outages"].empty()) << other;
    }
    const json& hot = core(doc, "nsp2")["temperature"];
    EXPECT_EQ(hot["peak_celsius"], 91.5);
    EXPECT_NEAR(hot["hot_s"].get<double>(), core(doc, "nsp2")["measured_s"].get<double>(), 0.01);
    EXPECT_EQ(core(doc, "nsp0")["temperature"]["hot_s"], 0.0);
    EXPECT_NE(run.result.err.find("outage    at "), std::string::npos) << run.result.err;
    EXPECT_TRUE(timeline(trace_path, doc["duration_s"], 4));
    int slices = 0;
    const json trace = read_json(trace_path);
    for (const json& e : trace["traceEvents"]) {
        slices += e.value("cat", "") == "outage" ? 1 : 0;
    }
    EXPECT_EQ(slices, 1);
}

TEST_F(StatTest, TheStatusIsTheCommandsAndEverySessionCloses) {
    struct Case {
        std::vector<std::string> command;
        int status;
        std::string first_line;  // of standard error
    };
    const Case cases[] = {
        {{"sh", "-c", "exit 3"}, 3, "kestrel-stat: sh -c 'exit 3' exited with 3 after "},
        {{"sh", "-c", "kill -TERM $$"},
         143,
         "kestrel-stat: sh -c 'kill -TERM $$' was ended by SIGTERM (status 143) after "},
        {{"no-such-command", "x"}, 127, "kestrel-stat: no-such-command: command not found"},
        {{"/etc"}, 126, "kestrel-stat: /etc: Is a directory"}};
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--sample_time", "20", "--"};
        args.insert(args.end(), c.command.begin(), c.command.end());
        const e2e::BoardRun run = stat("sm8650", args);
        EXPECT_EQ(run.result.exit_code, c.status) << run.result.err;
        EXPECT_EQ(run.result.err.rfind(c.first_line, 0), 0u) << run.result.err;
        EXPECT_TRUE(e2e::left_clean(run)) << c.first_line;
        if (c.status == 126 || c.status == 127) {
            EXPECT_TRUE(e2e::no_session(run)) << c.first_line;
        }
    }
    // A summary that cannot be written is told, and the command's success is no success.
    const e2e::BoardRun full =
        stat("sm8650", {"--sample_time", "20", "-o", "/dev/full", "--", "true"});
    EXPECT_EQ(full.result.exit_code, 255);
    EXPECT_EQ(full.result.err, "kestrel-stat: cannot write /dev/full: No space left on device\n");
    // kestrel-stat's own failures come before the command runs.
    const e2e::BoardRun bad = stat("sm8650", {"--sample_time", "5", "--", "touch", file("ran")});
    EXPECT_EQ(bad.result.exit_code, 255);
    EXPECT_TRUE(e2e::no_session(bad));
    EXPECT_FALSE(std::filesystem::exists(file("ran")));
}

#if !KESTREL_E2E_SANITIZED && !KESTREL_E2E_CROSS
TEST_F(StatTest, UnderValgrindNoMemoryErrorAndNoLeak) {
    // valgrind-kestrel ends the run with status 99 on any error or leak; every output is made.
    kestrel_test::ProcessOptions opts;
    opts.env_set.push_back(std::string("KESTREL_E2E_VALGRIND_TARGET=") + KESTREL_STAT_BIN);
    opts.env_set.push_back("KESTREL_SIM_WORKLOADS=" + dir_ + "/workloads");
    const e2e::BoardRun run = e2e::run_on_board(
        "qcs9075",
        {"--sample_time", "50", "--json", file("v.json"), "--trace-json", file("v.trace.json"),
         "--record", file("v.jsonl"), "--", "sh", "-c", "sleep 0.3; exit 3"},
        opts, KESTREL_E2E_VALGRIND);
    EXPECT_EQ(run.result.exit_code, 3) << run.result.err;
    EXPECT_TRUE(e2e::left_clean(run));
}
#endif

TEST_F(StatTest, StopSignalsReachTheCommandAndTheSummaryIsStillPrinted) {
    // Ctrl-C: the terminal's foreground process group. SIGTERM: to kestrel-stat alone, which
    // passes it on.
    const struct {
        int signo;
        bool group;
        int status;
    } cases[] = {{SIGINT, true, 130}, {SIGTERM, false, 143}};
    for (const auto& c : cases) {
        kestrel_test::ProcessOptions opts;
        opts.signals.push_back({c.signo, c.group, std::chrono::milliseconds(400), ""});
        const e2e::BoardRun run =
            stat("sm8650", {"--sample_time", "50", "--", "sleep", "10"}, opts);
        EXPECT_EQ(run.result.exit_code, c.status) << run.result.err;
        EXPECT_NE(run.result.err.find("kestrel-stat: sleep 10 was ended by SIG"), std::string::npos)
            << run.result.err;
        EXPECT_NE(run.result.err.find("QDSP6"), std::string::npos) << run.result.err;
        EXPECT_TRUE(e2e::left_clean(run));
    }
}

TEST_F(StatTest, AProcessOrATimeIsMeasuredWithoutACommand) {
    const e2e::BoardRun timed = stat("qcs9075", {"--duration", "0.3", "--json", "-"});
    ASSERT_EQ(timed.result.exit_code, 0) << timed.result.err;
    const json doc = json::parse(timed.result.out, nullptr, false);
    ASSERT_TRUE(doc.is_object()) << timed.result.out;
    EXPECT_NEAR(doc["duration_s"].get<double>(), 0.3, 0.05);
    EXPECT_TRUE(doc["command"].is_null() && doc["exit_status"].is_null());
    EXPECT_EQ(doc["cores"].size(), 2u);
    EXPECT_TRUE(e2e::left_clean(timed));

    std::FILE* sleeper = popen("sleep 0.4 & echo $!", "r");
    ASSERT_NE(sleeper, nullptr);
    int pid = 0;
    ASSERT_EQ(std::fscanf(sleeper, "%d", &pid), 1);
    pclose(sleeper);
    const e2e::BoardRun watched =
        stat("sm8650", {"--pid", std::to_string(pid), "--cdsp_index", "0"});
    EXPECT_EQ(watched.result.exit_code, 0) << watched.result.err;
    EXPECT_EQ(
        watched.result.err.rfind("kestrel-stat: process " + std::to_string(pid) + " ended", 0), 0u)
        << watched.result.err;
    EXPECT_TRUE(e2e::left_clean(watched));
}

TEST_F(StatTest, RecordingsCrossBetweenKestrelStatAndKestrelTop) {
    // kestrel-top's recording (no monotonic times) makes kestrel-stat's summary and timeline.
    const std::string from_top = file("top.jsonl");
    {
        top_test::TopInTmux top("sa8797p", {"--sample_time", "100", "--record", from_top});
        ASSERT_TRUE(top.wait_for([&](const std::string&) {
            std::ifstream in(from_top);
            int lines = 0;
            for (std::string line; std::getline(in, line);) {
                ++lines;
            }
            return lines >= 8;
        }));
        top.keys({"q"});
        ASSERT_EQ(top.finish().status, 0);
    }
    const std::string json_path = file("top.json");
    const std::string trace_path = file("top.trace.json");
    const e2e::BoardRun replay =
        stat("sa8797p", {"--replay", from_top, "--json", json_path, "--trace-json", trace_path});
    ASSERT_EQ(replay.result.exit_code, 0) << replay.result.err;
    EXPECT_TRUE(e2e::no_session(replay));
    ASSERT_TRUE(valid(json_path));
    const json doc = read_json(json_path);
    EXPECT_EQ(doc["clock"], "wall");
    EXPECT_NEAR(core(doc, "nsp2")["qdsp6"]["mean"].get<double>(), 70.0, 0.05);
    EXPECT_NEAR(core(doc, "nsp0")["hmx"]["mean"].get<double>(), 12.0, 0.05);
    EXPECT_TRUE(timeline(trace_path, doc["duration_s"], 4));

    // kestrel-stat's recording plays in kestrel-top, to its last window (a short one, cut
    // when the command ended).
    const std::string from_stat = file("stat.jsonl");
    const e2e::BoardRun recorded =
        stat("qcs9075", {"--sample_time", "100", "--record", from_stat, "--", "sleep", "0.3"});
    ASSERT_EQ(recorded.result.exit_code, 0) << recorded.result.err;
    double last = -1.0;
    std::ifstream in(from_stat);
    for (std::string line; std::getline(in, line);) {
        const json event = json::parse(line);
        if (event["domain"] == "cdsp1" && event.contains("qdsp6")) {
            last = event["qdsp6"];
        }
    }
    top_test::TopInTmux play("qcs9075", {"--replay", from_stat});
    ASSERT_TRUE(play.wait_for([last](const std::string& s) {
        const auto cdsp1 = top_test::figures(s, "cdsp1");
        return s.find("  end  ") != std::string::npos && cdsp1.count("QDSP6") != 0 &&
               std::fabs(cdsp1.at("QDSP6") - last) < 0.051;
    })) << play.last_screen();
    play.keys({"q"});
    EXPECT_EQ(play.finish().status, 0);
}

}  // namespace
