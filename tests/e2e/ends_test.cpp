// How runs end when the outside world ends them: a signal at any moment of a follow run, a
// reader that goes away, a full disk, no standard descriptors at all. Every one ends with 0 or
// 255 by kestrel's own exit, with the PMU group released and the session closed.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using e2e::BoardRun;
using e2e::left_clean;
using e2e::run_in_shell;
using e2e::run_on_board;
using kestrel_test::ProcessOptions;

// A follow run that fails to end is stopped (and the test fails) well before the default timeout.
ProcessOptions bounded() {
    ProcessOptions opts;
    opts.timeout = std::chrono::milliseconds(20000);
    return opts;
}

const std::vector<std::string> kFollow{
    "--follow", "--all", "--sample_time", "50", "--sample_interval_time", "20"};

unsigned env_or(const char* name, unsigned fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? static_cast<unsigned>(std::stoul(value)) : fallback;
}

// One or two signals per run, each a Ctrl-C to the process group, or a SIGTERM or SIGHUP to
// kestrel alone (the DSP is no process of the application's on a real board), at a random moment
// once kestrel is talking to the platform: during the start, a window, a pause or the end of an
// earlier signal's pass. tests/e2e/signal-storm runs many; KESTREL_SIGNAL_SEED repeats a campaign.
TEST(Ends, SignalsAtRandomMomentsOfAFollowRun) {
    const unsigned seed = env_or("KESTREL_SIGNAL_SEED", std::random_device{}());
    const unsigned runs = env_or("KESTREL_SIGNAL_RUNS", 3);
    std::printf("KESTREL_SIGNAL_SEED=%u KESTREL_SIGNAL_RUNS=%u\n", seed, runs);
    RecordProperty("seed", std::to_string(seed));
    std::mt19937 random(seed);
    const struct {
        const char* name;
        int number;
        bool group;
    } kinds[] = {{"INT", SIGINT, true}, {"TERM", SIGTERM, false}, {"HUP", SIGHUP, false}};
    for (unsigned i = 0; i < runs; ++i) {
        ProcessOptions opts = bounded();
        std::string plan;
        const int count = std::uniform_int_distribution<int>(1, 2)(random);
        for (int k = 0; k < count; ++k) {
            const auto& kind = kinds[std::uniform_int_distribution<int>(0, 2)(random)];
            const std::chrono::milliseconds delay(
                std::uniform_int_distribution<int>(0, 400)(random));
            opts.signals.push_back({kind.number, kind.group, delay, e2e::kTraceFile});
            plan += std::string(" ") + kind.name + "@" + std::to_string(delay.count()) + "ms";
        }
        SCOPED_TRACE("seed " + std::to_string(seed) + ", run " + std::to_string(i) + ":" + plan);
        BoardRun run = run_on_board("sm8650", kFollow, opts);
        EXPECT_EQ(run.result.signal, 0);
        EXPECT_EQ(run.result.exit_code, 0) << run.result.out << run.result.err;
        EXPECT_TRUE(left_clean(run));
    }
}

TEST(Ends, ReaderThatStopsAfterThreeLinesEndsTheFollowRun) {
    BoardRun run =
        run_in_shell(R"("$@" | head -n 3; exit "${PIPESTATUS[0]}")", "sm8650", kFollow, bounded());
    EXPECT_EQ(run.result.exit_code, 0) << run.result.err;
    EXPECT_EQ(kestrel_test::split_lines(run.result.out).size(), 3u);
    EXPECT_TRUE(left_clean(run));
}

TEST(Ends, ReaderThatStopsAfterOneByteOfTheVersion) {
    // The reader may be gone before kestrel writes, or not: neither may kill kestrel.
    for (int i = 0; i < 10; ++i) {
        BoardRun run =
            run_in_shell(R"("$@" | head -c1; exit "${PIPESTATUS[0]}")", "sm8650", {"--version"});
        EXPECT_EQ(run.result.exit_code, 0) << "run " << i << ": " << run.result.err;
        EXPECT_EQ(run.result.out.size(), 1u) << "run " << i;
        EXPECT_TRUE(left_clean(run)) << "run " << i;
    }
}

TEST(Ends, FullDiskEndsTheFollowRunWith255) {
    BoardRun run = run_in_shell(R"(exec "$@" >/dev/full)", "sm8650", kFollow, bounded());
    EXPECT_EQ(run.result.exit_code, 255);
    EXPECT_EQ(run.result.err, "kestrel: write error: No space left on device\n");
    EXPECT_TRUE(left_clean(run));
}

TEST(Ends, ClosedStandardDescriptorsAtStart) {
    // The report must go nowhere: not into the trace file (which run_on_board checks line by
    // line), not into the DSP link (the run would fail), not to a write error.
    for (const char* closing : {"0<&- 1>&- 2>&-", "1>&-"}) {
        BoardRun run = run_in_shell(std::string(R"(exec "$@" )") + closing, "sm8650",
                                    {"--all", "--sample_time", "0"});
        EXPECT_EQ(run.result.exit_code, 0) << closing;
        EXPECT_EQ(run.result.out, "") << closing;
        EXPECT_EQ(run.result.err, "") << closing;
        EXPECT_TRUE(left_clean(run)) << closing;
    }
}

}  // namespace
