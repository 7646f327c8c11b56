// Process-level tests: the library variants' exports, the exit line through exit(), the DSP's
// isolation from Ctrl-C and from the application's death, and the runner.
#include <dlfcn.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "process.h"
#include "sim_test_util.h"

using kestrel_test::ProcessOptions;
using kestrel_test::run_process;
using nlohmann::json;
using sim_test::calls;
using sim_test::read_trace;
using sim_test::TempDir;

namespace {

// The probe on a board through the runner, which gives it the board's library variant, sysfs
// tree and device nodes; its DSP library comes from the test's folder.
std::vector<std::string> probe(const std::string& mode, const std::string& trace,
                               const std::string& board = "sm8650") {
    return {SIM_RUN_BOARD, "--build", SIM_BUILD_DIR, "--kestrel", SIM_PROBE, "--board",
            board,         "--trace", trace,         "--",        mode};
}

ProcessOptions probe_env() {
    ProcessOptions o;
    o.env_set = {std::string("ADSP_LIBRARY_PATH=") + SIM_TEST_SKEL_DIR};
    o.timeout = std::chrono::milliseconds(20000);
    return o;
}

TEST(SimLibraryVariants, ExportExactlyTheirEntryPoints) {
    const std::vector<std::string> names = {"remote_handle64_open",   "remote_handle64_close",
                                            "remote_handle64_invoke", "remote_session_control",
                                            "remote_handle_control",  "remote_system_request",
                                            "HAP_debug_runtime",      "HAP_debug_v2"};
    const std::map<std::string, std::vector<bool>> expected = {
        {"full", {true, true, true, true, true, true, true, true}},
        {"no_system_request", {true, true, true, true, true, false, true, true}},
        {"minimal", {true, true, true, true, false, false, false, false}},
    };
    for (const auto& [variant, present] : expected) {
        const std::string path = std::string(SIM_LIB_DIR) + "/" + variant + "/libadsprpc.so";
        void* lib = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(lib, nullptr) << path << ": " << ::dlerror();
        for (size_t i = 0; i < names.size(); ++i) {
            EXPECT_EQ(::dlsym(lib, names[i].c_str()) != nullptr, present[i])
                << variant << " " << names[i];
        }
        // Internal helpers stay hidden.
        EXPECT_EQ(::dlsym(lib,
                          "_ZN11kestrel_sim10load_boardERKNSt7__cxx1112basic_stringIcSt11char_"
                          "traitsIcESaIcEEE"),
                  nullptr);
        ::dlclose(lib);
        const auto soname = run_process({"readelf", "-d", path});
        EXPECT_THAT(soname.out, ::testing::HasSubstr("Library soname: [libadsprpc.so]"));
    }
}

TEST(SimProbe, ExitThroughExitRecordsWhatIsStillOpen) {
    TempDir dir;
    const std::string trace = dir.file("t.jsonl");
    auto r = run_process(probe("exit-open", trace), probe_env());
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(r.out, "sample 0\n");
    EXPECT_EQ(r.err, "");
    auto t = read_trace(trace);
    ASSERT_FALSE(t.empty());
    EXPECT_EQ(t.back(),
              json({{"side", "ap"}, {"call", "exit"}, {"open_sessions", 1}, {"pmu_groups", 1}}));
    EXPECT_EQ(sim_test::read_file(trace).substr(0, 1), "{");
    // The exact text others match on.
    EXPECT_THAT(
        sim_test::read_file(trace),
        ::testing::HasSubstr(
            "{\"side\": \"ap\", \"call\": \"exit\", \"open_sessions\": 1, \"pmu_groups\": 1}\n"));
}

TEST(SimProbe, ApplicationSideLogsGoToTheTraceOnly) {
    TempDir dir;
    const std::string trace = dir.file("t.jsonl");
    auto r = run_process(probe("log", trace), probe_env());
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "done\n");
    EXPECT_EQ(r.err, "");
    auto logs = calls(read_trace(trace), "ap", "HAP_debug_runtime");
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0]["message"], "value 5 of probe");
    EXPECT_EQ(logs[0]["level"], 3);
    EXPECT_EQ(logs[0]["file"], "probe");

    // The minimal library has no logging functions: the weak reference is null.
    sim_test::write_file(dir.file("minimal.json"),
                         R"({"extends": "sm8650", "library": "minimal"})");
    const std::string trace2 = dir.file("t2.jsonl");
    r = run_process(probe("log", trace2, dir.file("minimal.json")), probe_env());
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(calls(read_trace(trace2), "ap", "HAP_debug_runtime").empty());
    EXPECT_EQ(calls(read_trace(trace2), "ap", "exit").size(), 1u);
}

TEST(SimProbe, CtrlCReachesTheApplicationButNotTheDsp) {
    TempDir dir;
    const std::string trace = dir.file("t.jsonl");
    auto env = probe_env();
    env.sigint_on_output = "ready";
    env.sigint_on_output_count = 1;
    auto r = run_process(probe("sigint", trace), env);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "ready\ninterrupted 1\necho 0\nclose 0\n");
}

TEST(SimProbe, TheDspEndsWhenTheApplicationVanishes) {
    // Orphaned DSP processes come to this process, which can then see them end. The user-mode
    // emulator of a cross build does not offer this.
    if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        GTEST_SKIP() << "cannot become a child subreaper here: " << std::strerror(errno);
    }
    TempDir dir;
    const std::string trace = dir.file("t.jsonl");
    auto r = run_process(probe("vanish", trace), probe_env());
    EXPECT_EQ(r.signal, SIGKILL);
    auto starts = calls(read_trace(trace), "ap", "dsp_start");
    ASSERT_EQ(starts.size(), 1u);
    const pid_t pid = starts[0]["pid"];
    ASSERT_GT(pid, 0);
    bool ended = false;
    int status = 0;
    for (int i = 0; i < 500 && !ended; ++i) {
        pid_t w = ::waitpid(pid, &status, WNOHANG);
        ended = w == pid || (w < 0 && errno == ECHILD);
        if (!ended)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(ended);
    if (ended && WIFEXITED(status)) {
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}

// A DSP that crashes for a while: in the window its remoteproc state reads "crashed" (in this
// process's own copy of the board's tree, gone when it ends), its session is lost and opens
// fail; afterwards the state reads "running" and a new DSP process serves a new session.
TEST(SimProbe, ADspThatCrashesForAWhileRunsAgainAfterwards) {
#if SIM_CROSS
    GTEST_SKIP() << "under the emulator the tree is its path prefix: the state file stays";
#endif
    TempDir dir;
    const std::string trace = dir.file("t.jsonl");
    const std::string board = dir.file("crash.json");
    sim_test::write_file(board, R"({"extends": "sm8650",
        "dsp_crashes": [{"domain": "cdsp", "at_ms": 1000, "for_ms": 1500}]})");
    auto r = run_process(probe("crash", trace, board), probe_env());
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const auto lines = kestrel_test::split_lines(r.out);
    ASSERT_EQ(lines.size(), 12u) << r.out;
    const std::vector<std::string> expected = {
        "state running",   "open 0x0",        "echo 0x0",         "state crashed",
        "echo 0x80000608", "open 0x80000608", "close 0x80000608", "state running",
        "open 0x0",        "echo 0x0",        "close 0x0"};
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.end() - 1), expected);
    const std::string tree = lines.back().substr(5);
    auto shared =
        run_process({SIM_BOARD_TOOL, "--sysfs", board, std::string(SIM_BUILD_DIR) + "/sim/sysfs"});
    EXPECT_NE(tree, shared.out.substr(0, shared.out.size() - 1));
    EXPECT_FALSE(std::filesystem::exists(tree));
    auto t = read_trace(trace);
    EXPECT_EQ(calls(t, "ap", "dsp_start").size(), 2u);
    EXPECT_EQ(calls(t, "ap", "dsp_crash").size(), 1u);
    EXPECT_EQ(t.back(),
              json({{"side", "ap"}, {"call", "exit"}, {"open_sessions", 0}, {"pmu_groups", 0}}));
}

// ---- The runner ------------------------------------------------------------------------------

std::vector<std::string> runner(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {SIM_RUN_BOARD, "--build", SIM_BUILD_DIR, "--kestrel",
                                     SIM_KESTREL};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

TEST(SimRunner, ListsTheBuiltinBoardsEachWithItsDescription) {
    auto r = run_process({SIM_RUN_BOARD, "--list-boards"});
    EXPECT_EQ(r.exit_code, 0);
    // The names in a column as wide as the longest, then each profile's own description.
    const std::string boards = std::filesystem::path(SIM_RUN_BOARD).parent_path() / "boards";
    const std::vector<std::string> names = {"demo",    "idle-sa8797p", "qcs6490", "qcs9075",
                                            "sa8797p", "sm8250",       "sm8650"};
    std::string expected;
    for (const std::string& name : names) {
        std::ifstream profile(boards + "/" + name + ".json");
        const std::string description = json::parse(profile).at("description");
        expected += name + std::string(14 - name.size(), ' ') + description + "\n";
    }
    EXPECT_EQ(r.out, expected);
}

TEST(SimRunner, HelpRunsOnEveryBuiltinBoardWithoutOutputOfItsOwn) {
    std::string reference;
    for (const char* board : {"sm8650", "sm8250", "qcs6490", "qcs9075", "sa8797p", "demo"}) {
        auto r = run_process(runner({"--board", board, "--", "-h"}));
        ASSERT_FALSE(r.timed_out) << board;
        EXPECT_EQ(r.exit_code, 0) << board << r.err;
        EXPECT_EQ(r.err, "") << board;
        EXPECT_FALSE(r.out.empty()) << board;
        if (reference.empty())
            reference = r.out;
        EXPECT_EQ(r.out, reference) << board;  // the usage text does not depend on the board
    }
}

TEST(SimRunner, RefusesAnUnusableBoardOrBuild) {
    auto r = run_process(runner({"--board", "sm9999", "--", "-h"}));
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_THAT(r.err, ::testing::HasSubstr("unknown board 'sm9999' (built-in boards: demo, "
                                            "idle-sa8797p, qcs6490, qcs9075, sa8797p, sm8250, "
                                            "sm8650)"));
    EXPECT_EQ(r.out, "");
    r = run_process({SIM_RUN_BOARD, "--build", "/nonexistent", "--", "-h"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_THAT(r.err, ::testing::HasSubstr("not built"));
}

TEST(SimRunner, QueryInfoOnSa8797pShowsTheFourNamedCores) {
    TempDir dir;
    const std::string trace = dir.file("t.jsonl");
    auto r = run_process(runner({"--board", "sa8797p", "--trace", trace, "--", "--query_info"}));
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    for (const char* name : {"nsp0", "nsp1", "nsp2", "nsp3"}) {
        EXPECT_THAT(r.out, ::testing::HasSubstr(std::string("domain_name = ") + name));
    }
    EXPECT_THAT(r.out, ::testing::HasSubstr("effect_id = 0xa"));
    auto t = read_trace(trace);
    EXPECT_EQ(calls(t, "ap", "remote_system_request").size(), 2u);
    EXPECT_EQ(t.back()["call"], "exit");
}

// --trace starts the file anew for each run, with the lines of kestrel's process and of its DSP
// processes; --trace-append adds a run to what is there.
TEST(SimRunner, TraceHoldsOneRunUnlessAppended) {
    TempDir dir;
    const std::string trace = dir.file("t.jsonl");
    sim_test::write_file(trace, "an earlier run\n");
    const std::vector<std::string> args = {"--", "--dsp", "--sample_time", "50"};
    auto with = [&](const char* option) {
        std::vector<std::string> argv = {option, trace};
        argv.insert(argv.end(), args.begin(), args.end());
        return runner(argv);
    };
    auto r = run_process(with("--trace"));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::string one_run = sim_test::read_file(trace);
    auto t = read_trace(trace);
    EXPECT_EQ(t.front()["side"], "ap");
    EXPECT_FALSE(calls(t, "dsp", "invoke").empty());
    EXPECT_EQ(calls(t, "ap", "exit").size(), 1u);

    r = run_process(with("--trace-append"));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(sim_test::read_file(trace).substr(0, one_run.size()), one_run);
    EXPECT_EQ(calls(read_trace(trace), "ap", "exit").size(), 2u);
}

TEST(SimRunner, BoardFileWithoutSocIdFileAndTheSysfsTreeFromTheProfile) {
    TempDir dir;
    sim_test::write_file(dir.file("nosoc.json"), R"({"extends": "sm8650", "soc_id": null})");
    auto sysfs = run_process({SIM_BOARD_TOOL, "--sysfs", dir.file("nosoc.json"), dir.path()});
    ASSERT_EQ(sysfs.exit_code, 0);
    const std::string tree = sysfs.out.substr(0, sysfs.out.size() - 1);
    EXPECT_FALSE(std::ifstream(tree + "/sys/devices/soc0/soc_id").good());
    EXPECT_TRUE(std::ifstream(tree + "/sys/devices/soc0").good() ||
                ::access((tree + "/sys/devices/soc0").c_str(), F_OK) == 0);

    sim_test::write_file(
        dir.file("raw.json"),
        R"({"extends": "sm8650", "soc_id": "12345678901234567890123456789012345"})");
    auto raw = run_process({SIM_BOARD_TOOL, "--sysfs", dir.file("raw.json"), dir.path()});
    ASSERT_EQ(raw.exit_code, 0);
    const std::string raw_tree = raw.out.substr(0, raw.out.size() - 1);
    EXPECT_EQ(sim_test::read_file(raw_tree + "/sys/devices/soc0/soc_id"),
              "12345678901234567890123456789012345");
    EXPECT_NE(raw_tree, tree);
    // The same contents give the same tree.
    auto again = run_process({SIM_BOARD_TOOL, "--sysfs", dir.file("raw.json"), dir.path()});
    EXPECT_EQ(again.out, raw.out);

    // kestrel reads the SoC id through umockdev from that tree: no file, its own error.
    auto r = run_process(runner({"--board", dir.file("nosoc.json"), "--", "--all"}));
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_THAT(r.out, ::testing::HasSubstr("get_cur_device_socid failure"));
}

// The tree of a board: trip points beside each zone's type and temperature, a remoteproc folder
// per DSP that has one (numbered in domain order), the device nodes with their mode and group,
// all readable by everyone. A group the system lacks is refused.
TEST(SimRunner, TheTreeHoldsTripPointsRemoteProcessorsAndDeviceNodes) {
    TempDir dir;
    sim_test::write_file(dir.file("b.json"), R"({"extends": "sm8650", "soc_name": "x1",
        "domains": [
          {"name": "cdsp", "device": {"path": "/dev/adsprpc-smd", "mode": "0660", "group": "video"}},
          {"name": "cdsp1", "id": 4, "remoteproc": null,
           "device": {"path": "/dev/adsprpc-smd", "mode": "0660", "group": "video"}},
          {"name": "cdsp2", "id": 5, "remoteproc": {"state": "offline"}}],
        "thermal_zones": [{"type": "nsp0", "temp_millicelsius": 52000, "trips": [
          {"type": "passive", "temp_millicelsius": 95000},
          {"type": "critical", "temp_millicelsius": 115000}]}]})");
    auto made = run_process({SIM_BOARD_TOOL, "--sysfs", dir.file("b.json"), dir.path()});
    ASSERT_EQ(made.exit_code, 0) << made.err;
    const std::string tree = made.out.substr(0, made.out.size() - 1);
    auto read = [&](const std::string& path) { return sim_test::read_file(tree + path); };
    const std::string zone = "/sys/class/thermal/thermal_zone0/";
    EXPECT_EQ(read(zone + "trip_point_0_type") + read(zone + "trip_point_0_temp"),
              "passive\n95000\n");
    EXPECT_EQ(read(zone + "trip_point_1_type") + read(zone + "trip_point_1_temp"),
              "critical\n115000\n");
    EXPECT_FALSE(std::filesystem::exists(tree + zone + "trip_point_2_type"));
    const std::string rproc = "/sys/class/remoteproc/remoteproc";
    EXPECT_EQ(read(rproc + "0/name") + read(rproc + "0/state") + read(rproc + "0/firmware"),
              "cdsp\nrunning\nqcom/x1/cdsp.mbn\n");
    EXPECT_EQ(read(rproc + "1/name") + read(rproc + "1/state"), "cdsp2\noffline\n");
    EXPECT_FALSE(std::filesystem::exists(tree + rproc + "2"));
    struct stat shared {};
    struct stat own {};
    ASSERT_EQ(::stat((tree + "/dev/adsprpc-smd").c_str(), &shared), 0);
    ASSERT_EQ(::stat((tree + "/dev/fastrpc-cdsp2").c_str(), &own), 0);
    EXPECT_EQ(shared.st_mode & 07777, 0660u);
    EXPECT_EQ(own.st_mode & 07777, 0666u);
    if (::geteuid() == 0) {
        EXPECT_EQ(shared.st_gid, ::getgrnam("video")->gr_gid);
        EXPECT_EQ(own.st_uid, 0u);
    }
    ASSERT_EQ(::stat(tree.c_str(), &own), 0);
    EXPECT_EQ(own.st_mode & 0777, 0755u);

    sim_test::write_file(dir.file("g.json"), R"({"extends": "sm8650",
        "domains": [{"name": "cdsp", "device": {"group": "no-such-group-here"}}]})");
    auto refused = run_process({SIM_BOARD_TOOL, "--sysfs", dir.file("g.json"), dir.path()});
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_THAT(refused.err,
                ::testing::HasSubstr("/dev/fastrpc-cdsp: no such group 'no-such-group-here'"));
}

TEST(SimRunner, KestrelMeasuresTheBoardLoads) {
    TempDir dir;
    const std::string trace = dir.file("t.jsonl");
    auto r = run_process(
        runner({"--board", "qcs9075", "--trace", trace, "--", "--all", "--cdsp_index", "1"}));
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    auto figure = [&](const std::string& label) {
        auto pos = r.out.find(label);
        EXPECT_NE(pos, std::string::npos) << label;
        return pos == std::string::npos ? -1.0 : std::stod(r.out.substr(pos + label.size()));
    };
    EXPECT_NEAR(figure("qdsp6 utilization: "), 70.0, 0.05);
    EXPECT_NEAR(figure("hvx utilization: "), 40.0, 0.05);
    EXPECT_NEAR(figure("hmx utilization: "), 20.0, 0.05);
    auto t = read_trace(trace);
    auto opens = calls(t, "ap", "remote_handle64_open");
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0]["domain"], "cdsp1");
    EXPECT_EQ(t.back(),
              json({{"side", "ap"}, {"call", "exit"}, {"open_sessions", 0}, {"pmu_groups", 0}}));
}

TEST(SimRunner, TheStubsFailureLogReachesTheTraceOnly) {
    TempDir dir;
    const std::string trace = dir.file("t.jsonl");
    sim_test::write_file(dir.file("fail.json"), R"({"extends": "sm8650", "faults": [
        {"call": "remote_handle64_invoke", "method": 5, "nth": 1, "result": "0x1234"}]})");
    auto r =
        run_process(runner({"--board", dir.file("fail.json"), "--trace", trace, "--", "--all"}));
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_THAT(r.out + r.err, ::testing::Not(::testing::HasSubstr("_stub_method_2")));
    auto t = read_trace(trace);
    auto logs = calls(t, "ap", "HAP_debug_runtime");
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0]["file"], "kestrel_stub");
    EXPECT_THAT(logs[0]["message"].get<std::string>(),
                ::testing::HasSubstr("ERROR 0x1234: handle=0x5e55"));
    auto invokes = calls(t, "ap", "remote_handle64_invoke");
    ASSERT_FALSE(invokes.empty());
    bool injected = false;
    for (const auto& l : invokes)
        injected = injected || l.value("injected", false);
    EXPECT_TRUE(injected);
    // The stub's session was closed by kestrel on its way out.
    EXPECT_EQ(t.back()["open_sessions"], 0);
}

TEST(SimRunner, TheBoardsLibraryVariantIsTheOneKestrelGets) {
    TempDir dir;
    const std::string trace = dir.file("t.jsonl");
    sim_test::write_file(dir.file("old.json"), R"({"extends": "sm8650", "library": "minimal"})");
    auto r = run_process(
        runner({"--board", dir.file("old.json"), "--trace", trace, "--", "--query_info"}));
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_THAT(r.out, ::testing::HasSubstr("can't get dsp_info"));
    auto t = read_trace(trace);
    EXPECT_TRUE(calls(t, "ap", "remote_system_request").empty());
    EXPECT_TRUE(calls(t, "ap", "remote_handle_control").empty());
    ASSERT_FALSE(t.empty());
    EXPECT_EQ(t.back()["call"], "exit");
}

TEST(SimRunner, ChoosesTheDspHostWithItsOwnOption) {
    TempDir dir;
    const std::string trace = dir.file("t.jsonl");
    auto r = run_process(runner({"--dsp-host", "host", "--trace", trace, "--dsp"}));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_THAT(r.out, ::testing::HasSubstr("qdsp6 utilization: "));
    const auto starts = calls(read_trace(trace), "ap", "dsp_start");
    ASSERT_FALSE(starts.empty());
    EXPECT_EQ(starts[0]["command"].back(), SIM_DSP_PROGRAM);
    r = run_process(runner({"--dsp-host", "--dsp"}));
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_THAT(r.err, ::testing::HasSubstr("--dsp-host needs host or hexagon"));
    EXPECT_EQ(r.out, "");
}

TEST(SimRunner, KestrelsOwnDspOptionIsPassedThrough) {
    auto r = run_process(runner({"--dsp", "--hvx", "--sample_time", "50"}));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_THAT(r.out, ::testing::HasSubstr("qdsp6 utilization: "));
    EXPECT_THAT(r.out, ::testing::HasSubstr("hvx utilization: "));
}

}  // namespace
