// Unit tests of cpu/stat: what the summary makes of the events (time weights, percentiles,
// outages, cores that measured nothing), how a command is found, which option sets are refused.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include <gtest/gtest.h>

#include "cpu/stat/command.h"
#include "cpu/stat/stat_options.h"
#include "cpu/stat/summary.h"

namespace vorlix::kestrel::stat {
namespace {

TEST(Distribution, EachWindowWeighsItsLength) {
    Distribution d;
    EXPECT_EQ(d.mean(), 0.0);
    EXPECT_EQ(d.percentile(0.5), 0.0);
    d.add(10.0, 0.1);
    d.add(20.0, 0.1);
    d.add(90.0, 0.05);  // a last window cut short
    d.add(55.0, 0.0);   // no time: nothing
    EXPECT_NEAR(d.seconds(), 0.25, 1e-12);
    EXPECT_NEAR(d.mean(), 30.0, 1e-9);
    EXPECT_EQ(d.percentile(0.4), 10.0);
    EXPECT_EQ(d.percentile(0.5), 20.0);
    EXPECT_EQ(d.percentile(0.95), 90.0);
    EXPECT_EQ(d.peak(), 90.0);
    EXPECT_NEAR(d.share_above(15.0), 0.6, 1e-9);
    EXPECT_EQ(d.share_above(90.0), 0.0);
    d.add(100.5, 0.25);  // clamped
    EXPECT_EQ(d.peak(), 100.0);
    EXPECT_NEAR(d.share_above(90.0), 0.5, 1e-9);
    // A sliver of a window counts by its length, but is no peak while whole windows are.
    Distribution slivers;
    slivers.add(70.0, 0.1);
    slivers.add(71.3, 0.001, false);
    EXPECT_EQ(slivers.peak(), 70.0);
    EXPECT_NEAR(slivers.mean(), (7.0 + 0.0713) / 0.101, 1e-9);
    Distribution only;
    only.add(12.5, 0.01, false);
    EXPECT_EQ(only.peak(), 12.5);
}

CoreEvent window(double end, double percent, double ms = 100.0) {
    CoreEvent e;
    e.time = 1000.0 + end;
    e.monotonic = end;
    e.index = 0;
    e.domain = "nsp0";
    e.arch = "V73";
    e.window_ms = 100;
    e.has_figures = true;
    e.measured_ms = ms;
    e.qdsp6 = static_cast<float>(percent);
    e.hvx = 50.0f;
    e.clock_hz = 1.4e9;
    e.temperature.present = true;
    e.temperature.zone = "nsp0";
    e.temperature.celsius = end < 0.35 ? 52.0 : 91.0;  // hot from 0.35 s
    e.temperature.has_passive = true;
    e.temperature.passive = 95.0;
    return e;
}

CoreEvent failure(double at, const std::string& error, const std::string& remoteproc) {
    CoreEvent e = window(at, 0.0);
    e.has_figures = false;
    e.session = SessionState::kDown;
    e.error = error;
    e.has_remoteproc = true;
    e.remoteproc = remoteproc;
    return e;
}

TEST(Summary, OutagesRunFromTheFirstFailureToTheNextWindowsStart) {
    Summary summary;
    summary.add_core(0, "nsp0", "V73", false);
    summary.add_core(1, "nsp1", "V73", false);
    const CoreEvent events[] = {window(0.1, 40.0),
                                failure(0.15, "sample failed (0x80000608)", "crashed"),
                                failure(1.2, "open failed (0x80000608)", "crashed"),
                                window(2.4, 60.0),
                                window(2.45, 80.0, 50.0),
                                failure(2.5, "open failed (0x8000060a)", "running")};
    for (const CoreEvent& e : events) {
        summary.take(e, event_time(e, true));
    }
    summary.finish(2.7);
    const CoreSummary& core = summary.cores()[0];
    EXPECT_EQ(core.windows, 3u);
    EXPECT_NEAR(core.measured_seconds(), 0.25, 1e-9);
    EXPECT_NEAR(core.qdsp6.mean(), (4.0 + 6.0 + 4.0) / 0.25, 1e-6);
    EXPECT_NEAR(core.hot_seconds, 0.15, 1e-9);
    EXPECT_EQ(core.peak_celsius, 91.0);
    ASSERT_EQ(core.outages.size(), 2u);
    EXPECT_EQ(core.outages[0].what, "sample failed (0x80000608), remoteproc crashed");
    EXPECT_EQ(core.outages[0].failures, 2u);
    EXPECT_NEAR(core.outages[0].start, 0.15, 1e-9);
    EXPECT_NEAR(core.outages[0].end, 2.3, 1e-9);
    EXPECT_EQ(core.outages[1].what, "open failed (0x8000060a)");
    EXPECT_NEAR(core.outages[1].end, 2.7, 1e-9);

    const CoreSummary& idle = summary.cores()[1];
    EXPECT_EQ(idle.windows, 0u);
    RunInfo run;
    run.start = 0.0;
    run.end = 2.7;
    run.command = {"sleep", "2.7"};
    run.has_status = true;
    run.exited = true;
    const std::string text = summary_text(run, summary);
    EXPECT_NE(text.find("nsp1 (V73)  measured nothing\n"), std::string::npos) << text;
    EXPECT_NE(text.find("outage    at 0.150 s for 2.150 s: sample failed (0x80000608), "
                        "remoteproc crashed (2 failures)"),
              std::string::npos)
        << text;
    const nlohmann::json doc = nlohmann::json::parse(summary_json(run, summary));
    EXPECT_TRUE(doc["cores"][1]["qdsp6"].is_null());
    EXPECT_EQ(doc["cores"][0]["outages"][0]["duration_s"], 2.15);
}

TEST(Summary, ALegacyCoreHasNoHvxOrHmxAndARecordingsCoresComeInIndexOrder) {
    Summary summary;
    CoreEvent second = window(0.1, 30.0);
    second.index = 1;
    second.domain = "cdsp1";
    second.legacy = true;
    CoreEvent first = second;
    first.index = 0;
    first.domain = "cdsp";
    summary.take(second, 0.1);
    summary.take(first, 0.1);
    ASSERT_EQ(summary.cores().size(), 2u);
    EXPECT_EQ(summary.cores()[0].domain, "cdsp");
    const nlohmann::json doc = nlohmann::json::parse(summary_json(RunInfo(), summary));
    EXPECT_EQ(doc["cores"][0]["qdsp6"]["mean"], 30.0);
    EXPECT_TRUE(doc["cores"][0]["hvx"].is_null());
    EXPECT_TRUE(doc["cores"][0]["hmx"].is_null());
}

class FindProgram : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kestrel-stat-find-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        make(dir_ + "/a/tool", 0755);
        make(dir_ + "/a/plain", 0644);
        make(dir_ + "/b/plain", 0755);
        make(dir_ + "/b/data", 0644);
        mkdir((dir_ + "/b/folder").c_str(), 0755);
    }
    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

    void make(const std::string& path, mode_t mode) {
        mkdir(path.substr(0, path.rfind('/')).c_str(), 0755);
        std::ofstream(path) << "#!/bin/sh\n";
        chmod(path.c_str(), mode);
    }

    std::string dir_;
};

TEST_F(FindProgram, AsAShellFindsIt) {
    const std::string path_var = dir_ + "/a:" + dir_ + "/b";
    std::string path, message;
    EXPECT_EQ(find_program("tool", path_var.c_str(), &path, &message), 0);
    EXPECT_EQ(path, dir_ + "/a/tool");
    // A file that cannot run is passed over for one further on that can.
    EXPECT_EQ(find_program("plain", path_var.c_str(), &path, &message), 0);
    EXPECT_EQ(path, dir_ + "/b/plain");
    EXPECT_EQ(find_program("no-such-tool", path_var.c_str(), &path, &message), kNotFound);
    EXPECT_EQ(message, "no-such-tool: command not found");
    EXPECT_EQ(find_program("data", path_var.c_str(), &path, &message), kCannotRun);
    EXPECT_EQ(message, "data: Permission denied");
    EXPECT_EQ(find_program(dir_ + "/b/folder", path_var.c_str(), &path, &message), kCannotRun);
    EXPECT_EQ(message, dir_ + "/b/folder: Is a directory");
    EXPECT_EQ(find_program(dir_ + "/none", path_var.c_str(), &path, &message), kNotFound);
    EXPECT_EQ(message, dir_ + "/none: No such file or directory");
}

TEST(StatParams, OneThingIsMeasured) {
    const auto why = [](StatParams p) {
        std::string text;
        return check_stat_params(p, &text) ? std::string("ok") : text;
    };
    StatParams p;
    EXPECT_NE(why(p), "ok");  // nothing to measure
    p.command = {"true"};
    EXPECT_EQ(why(p), "ok");
    p.has_duration = true;
    p.duration = 1.0;
    EXPECT_NE(why(p), "ok");  // a command and a duration
    p.command.clear();
    EXPECT_EQ(why(p), "ok");
    p.has_pid = true;
    p.pid = 42;
    EXPECT_EQ(why(p), "ok");  // a process, for at most a duration
    p.sample_time = 9;
    EXPECT_EQ(why(p), "--sample_time must be from 10 to 5000 ms");
    StatParams replay;
    replay.replay = "rec.jsonl";
    EXPECT_EQ(why(replay), "ok");
    replay.record = "again.jsonl";
    EXPECT_NE(why(replay), "ok");
}

}  // namespace
}  // namespace vorlix::kestrel::stat
