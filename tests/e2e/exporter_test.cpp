// kestrel-exporter on the virtual board: the exposition of one sample of every core on each kind
// of SoC, promtool's verdict on it, the thermal zones and remote processors, the core choice, the
// textfile, the HTTP endpoint, cores that fail while the others go on, and the orderly stop.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"
#include "exporter_support.h"
#include "kestrel_revision.h"
#include "kestrel_version.h"

namespace {

namespace fs = std::filesystem;
using e2e::BoardRun;
using e2e::left_clean;
using e2e::no_session;
using exporter_test::count_series;
using exporter_test::ExporterOnBoard;
using exporter_test::http_exchange;
using exporter_test::http_get;
using exporter_test::value_of;

// The loads of a board's cores, as ratios: qdsp6, hvx, hmx.
struct Loads {
    double qdsp6, hvx, hmx;
};

std::string ratio(const std::string& domain, const std::string& engine) {
    return "kestrel_dsp_utilization_ratio{domain=\"" + domain + "\",engine=\"" + engine + "\"}";
}

std::string series(const std::string& name, const std::string& domain) {
    return name + "{domain=\"" + domain + "\"}";
}

BoardRun once(const std::string& board, std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"--once", "--sample_time", "200"});
    return e2e::run_on_board(board, args, {}, KESTREL_EXPORTER_BIN);
}

void expect_loads(const std::string& text, const std::string& domain, const Loads& loads) {
    EXPECT_NEAR(value_of(text, ratio(domain, "qdsp6")), loads.qdsp6, 0.001) << domain;
    EXPECT_NEAR(value_of(text, ratio(domain, "hvx")), loads.hvx, 0.001) << domain;
    EXPECT_NEAR(value_of(text, ratio(domain, "hmx")), loads.hmx, 0.001) << domain;
}

// promtool's lint of an exposition: its output, empty when clean.
testing::AssertionResult promtool_clean(const std::string& text) {
    const std::string file =
        fs::temp_directory_path() / ("kestrel-promtool-" + std::to_string(getpid()) + ".prom");
    std::ofstream(file) << text;
    const auto result =
        kestrel_test::run_process({"sh", "-c", "promtool check metrics < '" + file + "'"});
    fs::remove(file);
    if (result.exit_code == 0 && result.out.empty() && result.err.empty()) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << "promtool: " << result.out << result.err;
}

TEST(ExporterOnce, Sm8650GivesItsThreeRatiosAndPassesPromtool) {
    BoardRun run = once("sm8650");
    EXPECT_EQ(run.result.exit_code, 0);
    EXPECT_EQ(run.result.err, "");
    const std::string& text = run.result.out;
    expect_loads(text, "cdsp", {0.45, 0.25, 0.12});
    EXPECT_EQ(value_of(text, series("kestrel_dsp_up", "cdsp")), 1);
    EXPECT_EQ(value_of(text, series("kestrel_dsp_clock_hertz", "cdsp")), 1e9);
    EXPECT_EQ(value_of(text, series("kestrel_dsp_samples_total", "cdsp")), 1);
    EXPECT_EQ(value_of(text, series("kestrel_dsp_sample_errors_total", "cdsp")), 0);
    EXPECT_GT(value_of(text, series("kestrel_dsp_last_sample_timestamp_seconds", "cdsp")), 1.7e9);
    // The board itself: the kernel's name of its SoC and its host name.
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(value_of(text,
                       "kestrel_dsp_info{domain=\"cdsp\",arch=\"V75\",soc=\"SM8650\","
                       "soc_id=\"557\",machine=\"SM8650\",host=\"" +
                           std::string(host) + "\"}"),
              1);
    EXPECT_EQ(value_of(text, "kestrel_exporter_build_info{version=\"" KESTREL_VERSION
                             "\",commit=\"" KESTREL_BUILD_COMMIT_ID "\"}"),
              1);
    // A board without thermal zones has no temperature series.
    EXPECT_EQ(count_series(text, "kestrel_dsp_temperature_celsius"), 0);
    EXPECT_TRUE(promtool_clean(text));
    EXPECT_TRUE(left_clean(run));
}

TEST(ExporterOnce, Sa8797pGivesFourCoresTimesThreeEngines) {
    BoardRun run = once("sa8797p");
    EXPECT_EQ(run.result.exit_code, 0);
    const std::string& text = run.result.out;
    EXPECT_EQ(count_series(text, "kestrel_dsp_utilization_ratio"), 12);
    expect_loads(text, "nsp0", {0.45, 0.25, 0.12});
    expect_loads(text, "nsp1", {0.30, 0.10, 0.05});
    expect_loads(text, "nsp2", {0.70, 0.40, 0.20});
    expect_loads(text, "nsp3", {0.10, 0.00, 0.00});
    EXPECT_EQ(value_of(text, series("kestrel_dsp_clock_hertz", "nsp2")), 1.4e9);
    // Each core's remote processor runs; each NSP zone has a passive and a critical trip point.
    EXPECT_EQ(count_series(text, "kestrel_dsp_remoteproc_up"), 4);
    EXPECT_EQ(value_of(text, series("kestrel_dsp_remoteproc_up", "nsp3")), 1);
    EXPECT_EQ(count_series(text, "kestrel_dsp_temperature_trip_celsius"), 8);
    EXPECT_EQ(
        value_of(text, "kestrel_dsp_temperature_trip_celsius{zone=\"nsp2\",type=\"passive\"}"), 95);
    EXPECT_EQ(
        value_of(text, "kestrel_dsp_temperature_trip_celsius{zone=\"nsp3\",type=\"critical\"}"),
        115);
    // One session per core, on the name the platform gave it, never in an unsigned PD.
    EXPECT_EQ(run.calls("remote_handle64_open").size(), 4u);
    for (const auto& call : run.calls("remote_session_control")) {
        EXPECT_NE(call["req"], 2) << call.dump();
    }
    EXPECT_TRUE(promtool_clean(text));
    EXPECT_TRUE(left_clean(run));
}

TEST(ExporterOnce, AnOfflineRemoteProcessorIsDownAndAnAttachedOneIsUp) {
    // nsp1's processor is offline, nsp2's attached, the others' running.
    BoardRun run = once("sa8797p_remoteproc_states.json");
    EXPECT_EQ(run.result.exit_code, 0);
    const std::string& text = run.result.out;
    for (const char* domain : {"nsp0", "nsp2", "nsp3"}) {
        EXPECT_EQ(value_of(text, series("kestrel_dsp_remoteproc_up", domain)), 1) << domain;
        EXPECT_EQ(value_of(text, series("kestrel_dsp_up", domain)), 1) << domain;
    }
    EXPECT_EQ(value_of(text, series("kestrel_dsp_remoteproc_up", "nsp1")), 0);
    EXPECT_EQ(value_of(text, series("kestrel_dsp_up", "nsp1")), 0);
    EXPECT_TRUE(left_clean(run));
}

TEST(ExporterOnce, LegacySm8250GivesQdsp6Only) {
    BoardRun run = once("sm8250");
    EXPECT_EQ(run.result.exit_code, 0);
    const std::string& text = run.result.out;
    EXPECT_EQ(count_series(text, "kestrel_dsp_utilization_ratio"), 1);
    EXPECT_NEAR(value_of(text, ratio("cdsp", "qdsp6")), 0.45, 0.001);
    // Sampled without a PMU group.
    EXPECT_TRUE(run.invokes(3).empty());
    EXPECT_TRUE(left_clean(run));
}

TEST(ExporterOnce, AnIdleCoresEnginesAreNotBusyRatherThanNotANumber) {
    BoardRun run = once("idle-sa8797p", {"--cdsp_index", "0"});
    EXPECT_EQ(run.result.exit_code, 0);
    for (const char* engine : {"qdsp6", "hvx", "hmx"}) {
        EXPECT_EQ(value_of(run.result.out, ratio("nsp0", engine)), 0.0) << engine;
    }
}

TEST(ExporterOnce, NspThermalZonesGiveTheirTemperatures) {
    BoardRun run = once("sa8797p_thermal.json", {"--cdsp_index", "0"});
    EXPECT_EQ(run.result.exit_code, 0);
    const std::string& text = run.result.out;
    EXPECT_EQ(count_series(text, "kestrel_dsp_temperature_celsius"), 3);
    EXPECT_EQ(value_of(text, "kestrel_dsp_temperature_celsius{zone=\"nsp0\"}"), 45);
    EXPECT_EQ(value_of(text, "kestrel_dsp_temperature_celsius{zone=\"nsp1\"}"), 47.25);
    EXPECT_EQ(value_of(text, "kestrel_dsp_temperature_celsius{zone=\"nsp2\"}"), -1.5);
    EXPECT_TRUE(promtool_clean(text));
}

TEST(ExporterOnce, CdspIndexPicksTheCoresAndAnUnknownOneIsRefused) {
    BoardRun run = once("sa8797p", {"--cdsp_index", "2", "--cdsp_index", "0"});
    EXPECT_EQ(run.result.exit_code, 0);
    EXPECT_EQ(count_series(run.result.out, "kestrel_dsp_up"), 2);
    EXPECT_LT(run.result.out.find("kestrel_dsp_up{domain=\"nsp2\"}"),
              run.result.out.find("kestrel_dsp_up{domain=\"nsp0\"}"));

    BoardRun refused = once("sa8797p", {"--cdsp_index", "4"});
    EXPECT_EQ(refused.result.exit_code, 255);
    EXPECT_EQ(refused.result.out, "");
    EXPECT_NE(refused.result.err.find("invalid cdsp_index 4: the board has 4 compute-DSP core(s)"),
              std::string::npos)
        << refused.result.err;
    EXPECT_TRUE(no_session(refused));
}

TEST(ExporterOnce, VersionIsTheProjectsWithTheBuildsCommitAndNoSession) {
    BoardRun run = e2e::run_on_board("sm8650", {"--version"}, {}, KESTREL_EXPORTER_BIN);
    EXPECT_EQ(run.result.exit_code, 0);
    const auto lines = kestrel_test::split_lines(run.result.out);
    ASSERT_EQ(lines.size(), 3u) << run.result.out;
    EXPECT_EQ(lines[0], "kestrel-exporter version V" KESTREL_VERSION);
    EXPECT_EQ(lines[1].rfind("  build date      : ", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2], "  build commit id : " KESTREL_BUILD_COMMIT_ID);
    EXPECT_TRUE(no_session(run));
}

TEST(ExporterOnce, TextfileHoldsTheExpositionAndNothingElseIsLeft) {
    char pattern[] = "/tmp/kestrel-textfile-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    BoardRun run = once("qcs9075", {"--textfile", dir});
    EXPECT_EQ(run.result.exit_code, 0);
    std::ifstream in(dir + "/kestrel.prom");
    std::stringstream file;
    file << in.rdbuf();
    EXPECT_EQ(file.str(), run.result.out);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
    fs::remove_all(dir);
}

TEST(ExporterServer, TextfileOnlyMovesForwardAndIsReplacedWhole) {
    char pattern[] = "/tmp/kestrel-textfile-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    const std::string file = dir + "/kestrel.prom";
    const auto read = [](const std::string& path) {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    };
    // Four cores writing after every 1 ms window: the files race each other as hard as they can.
    ExporterOnBoard exporter("sa8797p", {"--sample_time", "1", "--textfile", dir});
    for (const auto start = std::chrono::steady_clock::now();
         !fs::exists(file) &&
         std::chrono::steady_clock::now() - start < std::chrono::seconds(30);) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // A hard link keeps the file it was made to: the writer replaces the name, never the content.
    // What the link holds is read through it, so a replacement just before cannot come between.
    // link() fails with ENOENT when the file it found is renamed over before the link is made (the
    // name itself is never missing), so that one failure is tried again.
    const std::string link = dir + ".old";
    int linked = -1;
    for (int tries = 0; tries < 1000 && linked != 0; ++tries) {
        linked = ::link(file.c_str(), link.c_str());
        ASSERT_TRUE(linked == 0 || errno == ENOENT) << std::strerror(errno);
    }
    ASSERT_EQ(linked, 0);
    const std::string first = read(link);
    ASSERT_FALSE(first.empty());

    const char* domains[] = {"nsp0", "nsp1", "nsp2", "nsp3"};
    const double at_first = value_of(first, series("kestrel_dsp_samples_total", "nsp0"));
    std::map<std::string, double> last;
    int reads = 0, backwards = 0;
    // Reads race the writes for 2 s, and on until the file has moved forward: a test starved of
    // the processor for those 2 s (a busy machine) still sees a later file (30 s at most).
    for (const auto start = std::chrono::steady_clock::now();; ++reads) {
        const auto elapsed = std::chrono::steady_clock::now() - start;
        if ((elapsed >= std::chrono::seconds(2) && last["nsp0"] > at_first) ||
            elapsed >= std::chrono::seconds(30)) {
            break;
        }
        const std::string text = read(file);
        for (const char* domain : domains) {
            const double samples = value_of(text, series("kestrel_dsp_samples_total", domain));
            if (samples < last[domain]) {
                ++backwards;
            }
            last[domain] = std::max(last[domain], samples);
        }
    }
    EXPECT_EQ(backwards, 0) << "in " << reads << " reads";
    EXPECT_GT(last["nsp0"], at_first);
    EXPECT_EQ(read(link), first);

    EXPECT_EQ(exporter.stop(SIGTERM).result.exit_code, 0);
    fs::remove(link);
    fs::remove_all(dir);
}

TEST(ExporterServer, ServesMetricsAPageAndErrorsThenStopsCleanOnSigterm) {
    ExporterOnBoard exporter("qcs9075", {"--sample_time", "200"});
    const std::string text = exporter.scrape_until([](const std::string& t) {
        return value_of(t, series("kestrel_dsp_samples_total", "cdsp")) >= 1 &&
               value_of(t, series("kestrel_dsp_samples_total", "cdsp1")) >= 1;
    });
    expect_loads(text, "cdsp", {0.45, 0.25, 0.12});
    expect_loads(text, "cdsp1", {0.70, 0.40, 0.20});

    const auto metrics = http_get(exporter.port(), "/metrics");
    EXPECT_NE(metrics.head.find("Content-Type: text/plain; version=0.0.4; charset=utf-8"),
              std::string::npos)
        << metrics.head;
    const auto page = http_get(exporter.port(), "/");
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.body.find("<a href=\"/metrics\">"), std::string::npos) << page.body;
    EXPECT_EQ(http_get(exporter.port(), "/metrics/x").status, 404);
    EXPECT_EQ(http_exchange(exporter.port(),
                            "POST /metrics HTTP/1.1\r\nHost: x\r\n"
                            "Content-Length: 0\r\nConnection: close\r\n\r\n")
                  .status,
              405);
    EXPECT_EQ(http_exchange(exporter.port(), "NOT A REQUEST\r\n\r\n").status, 400);
    // Still serving after the bad requests.
    EXPECT_EQ(http_get(exporter.port(), "/metrics").status, 200);

    BoardRun run = exporter.stop(SIGTERM);
    EXPECT_EQ(run.result.exit_code, 0) << run.result.err;
    EXPECT_EQ(run.result.out, "");
    EXPECT_TRUE(left_clean(run));
}

TEST(ExporterServer, AMinuteLongWindowInProgressDoesNotHoldTheStopUp) {
    ExporterOnBoard exporter("qcs9075", {"--sample_time", "60000"});
    // Both sessions open: their first windows are under way.
    const auto both_up = [](const std::string& t) {
        return value_of(t, series("kestrel_dsp_up", "cdsp")) == 1 &&
               value_of(t, series("kestrel_dsp_up", "cdsp1")) == 1;
    };
    ASSERT_TRUE(both_up(exporter.scrape_until(both_up)));
    const auto start = std::chrono::steady_clock::now();
    BoardRun run = exporter.stop(SIGTERM);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(run.result.exit_code, 0) << run.result.err;
    EXPECT_TRUE(left_clean(run));
}

TEST(ExporterServer, FailedCoresGoDownAndComeBackWhileTheOthersGoOn) {
    ExporterOnBoard exporter("sa8797p_faults.json", {"--sample_time", "200"});
    // nsp0's first open fails, the reopening after the backoff works; nsp1's DSP dies in its
    // second sample and cannot be reopened.
    const auto nsp1_down = [](const std::string& t) {
        return value_of(t, series("kestrel_dsp_up", "nsp1")) == 0 &&
               value_of(t, series("kestrel_dsp_sample_errors_total", "nsp1")) >= 1;
    };
    const std::string first = exporter.scrape_until([&](const std::string& t) {
        return nsp1_down(t) && value_of(t, series("kestrel_dsp_samples_total", "nsp0")) >= 1;
    });
    EXPECT_EQ(value_of(first, series("kestrel_dsp_sample_errors_total", "nsp0")), 1);
    EXPECT_EQ(value_of(first, series("kestrel_dsp_samples_total", "nsp1")), 1);
    EXPECT_EQ(count_series(first, "kestrel_dsp_clock_hertz"), 3);
    EXPECT_TRUE(std::isnan(value_of(first, ratio("nsp1", "qdsp6"))));

    // Fresh samples keep coming from the three others; nsp1 keeps its counters.
    const double before = value_of(first, series("kestrel_dsp_samples_total", "nsp3"));
    const std::string later = exporter.scrape_until([&](const std::string& t) {
        return value_of(t, series("kestrel_dsp_samples_total", "nsp3")) >= before + 2 &&
               value_of(t, series("kestrel_dsp_samples_total", "nsp0")) >= 2;
    });
    for (const char* domain : {"nsp0", "nsp2", "nsp3"}) {
        EXPECT_EQ(value_of(later, series("kestrel_dsp_up", domain)), 1) << domain;
    }
    EXPECT_EQ(value_of(later, series("kestrel_dsp_up", "nsp1")), 0);
    EXPECT_EQ(value_of(later, series("kestrel_dsp_samples_total", "nsp1")), 1);
    expect_loads(later, "nsp2", {0.70, 0.40, 0.20});

    BoardRun run = exporter.stop(SIGINT);
    EXPECT_EQ(run.result.exit_code, 0) << run.result.err;
    EXPECT_TRUE(left_clean(run));
}

TEST(ExporterServer, AnOutageIsOneLineDownAndOneLineBackWithTheCauseInWords) {
    // nsp1's DSP crashed from 1 s after the start for 1.5 s.
    ExporterOnBoard exporter("top_crash.json", {"--sample_time", "200"});
    exporter.scrape_until([](const std::string& t) {
        return value_of(t, series("kestrel_dsp_sample_errors_total", "nsp1")) >= 1 &&
               value_of(t, series("kestrel_dsp_up", "nsp1")) == 1 &&
               value_of(t, series("kestrel_dsp_samples_total", "nsp1")) >= 8;
    });
    const BoardRun run = exporter.stop(SIGTERM);
    EXPECT_EQ(run.result.exit_code, 0);
    const std::string& err = run.result.err;
    const auto count = [&err](const std::string& text) {
        int n = 0;
        for (auto at = err.find(text); at != std::string::npos; at = err.find(text, at + 1)) {
            ++n;
        }
        return n;
    };
    EXPECT_EQ(count("[WARN ] [EXPORTER] nsp1 is down: "), 1) << err;
    EXPECT_EQ(count("(0x80000608: the DSP process died or could not start)"), 1) << err;
    EXPECT_EQ(count("[INFO ] [EXPORTER] nsp1 is back after "), 1) << err;
    EXPECT_EQ(count("KestrelStub"), 0) << err;
    EXPECT_EQ(count("nsp0"), 0) << err;
    EXPECT_TRUE(left_clean(run));
}

TEST(ExporterServer, AnAddressInUseIsStatus255BeforeAnySession) {
    const int taken = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    socklen_t length = sizeof address;
    getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string listen_on = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));

    BoardRun run = e2e::run_on_board("sm8650", {"--listen", listen_on}, {}, KESTREL_EXPORTER_BIN);
    close(taken);
    EXPECT_EQ(run.result.exit_code, 255);
    EXPECT_NE(run.result.err.find("cannot listen on " + listen_on + ": Address already in use"),
              std::string::npos)
        << run.result.err;
    EXPECT_TRUE(no_session(run));
}

}  // namespace
