// The session client against a fake stub library, and the metric analysis and report.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <signal.h>
#include <sys/time.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "cpu/data_analyzer.h"
#include "cpu/kestrel_run.h"
#include "cpu/stub_loader.h"
#include "fake_stub.h"
#include "test_util.h"

namespace {

using monitor_test::stdout_of;
using vorlix::kestrel::DataAnalyzer;
using vorlix::kestrel::KestrelStub;

const char* const kFunctions[] = {"kestrel_open",
                                  "kestrel_close",
                                  "kestrel_get_group_pmt_value",
                                  "kestrel_get_legacy_perf_value",
                                  "kestrel_get_dsp_current_freq",
                                  "kestrel_pmu_init",
                                  "kestrel_pmu_deinit"};

std::string variant_without(const char* function) {
    return std::string(FAKE_STUB_DIR) + "/libfake_kestrel_no_" + function + ".so";
}

// Holds the fake library loaded for the whole test, so that its state outlives the clients.
class StubTest : public testing::Test {
  protected:
    void SetUp() override {
        lib_ = dlopen(FAKE_STUB_PATH, RTLD_NOW);
        ASSERT_NE(lib_, nullptr) << dlerror();
        auto get = reinterpret_cast<fake_stub_state_fn>(dlsym(lib_, "fake_stub_state_get"));
        ASSERT_NE(get, nullptr);
        state_ = get();
        memset(state_, 0, sizeof(*state_));
        state_->open_handle = 0x1234;
    }
    void TearDown() override {
        if (lib_ != nullptr) {
            dlclose(lib_);
        }
    }
    fake_stub_state& fake() { return *state_; }
    // A client with the library loaded.
    void load(KestrelStub& stub, int arch = 0x73) {
        ASSERT_TRUE(stub.init(FAKE_STUB_PATH, 3, arch));
    }
    void set_reading(int i, int32_t pkg, int32_t hvx, int32_t hmx, int64_t timer_us,
                     int64_t pcycle) {
        fake().readings[i] = {0, pkg, hvx, hmx, timer_us, pcycle};
        fake().reading_count = std::max(fake().reading_count, i + 1);
    }

  private:
    void* lib_ = nullptr;
    fake_stub_state* state_ = nullptr;
};

// ---- Loading --------------------------------------------------------------------------------

TEST_F(StubTest, InitResolvesAllSevenFunctionsAndKeepsTheArch) {
    KestrelStub stub;
    std::string out = stdout_of([&] { EXPECT_TRUE(stub.init(FAKE_STUB_PATH, 4, 0x75)); });
    EXPECT_EQ(out, "");
    EXPECT_NE(stub.lib_handle, nullptr);
    EXPECT_NE(stub.open_fn, nullptr);
    EXPECT_NE(stub.close_fn, nullptr);
    EXPECT_NE(stub.get_group_pmt_value_fn, nullptr);
    EXPECT_NE(stub.get_legacy_perf_value_fn, nullptr);
    EXPECT_NE(stub.get_dsp_current_freq_fn, nullptr);
    EXPECT_NE(stub.pmu_init_fn, nullptr);
    EXPECT_NE(stub.pmu_deinit_fn, nullptr);
    EXPECT_EQ(stub.dsp_arch, 0x75);
}

TEST_F(StubTest, MissingLibraryReportsDlerror) {
    KestrelStub stub;
    bool ok = true;
    std::string out = stdout_of([&] { ok = stub.init("/nonexistent/libkestrel.so", 3, 0x73); });
    EXPECT_FALSE(ok);
    EXPECT_EQ(out,
              "[ERROR] [KestrelStub] dlopen(): /nonexistent/libkestrel.so: cannot open shared "
              "object file: No such file or directory\n");
    EXPECT_EQ(stub.lib_handle, nullptr);
    EXPECT_EQ(stub.dsp_arch, 0);
}

TEST_F(StubTest, EachMissingFunctionStopsTheLookupThere) {
    for (int missing = 0; missing < 7; ++missing) {
        const std::string path = variant_without(kFunctions[missing]);
        KestrelStub stub;
        bool ok = true;
        std::string out = stdout_of([&] { ok = stub.init(path, 3, 0x73); });
        EXPECT_FALSE(ok) << kFunctions[missing];
        EXPECT_EQ(out, std::string("[ERROR] [KestrelStub] dlsym(") + kFunctions[missing] +
                           "): " + path + ": undefined symbol: " + kFunctions[missing] + "\n");
        // Found before the failure: stored; from the failure on: not looked up.
        const bool found[] = {stub.open_fn != nullptr,
                              stub.close_fn != nullptr,
                              stub.get_group_pmt_value_fn != nullptr,
                              stub.get_legacy_perf_value_fn != nullptr,
                              stub.get_dsp_current_freq_fn != nullptr,
                              stub.pmu_init_fn != nullptr,
                              stub.pmu_deinit_fn != nullptr};
        for (int i = 0; i < 7; ++i) {
            EXPECT_EQ(found[i], i < missing) << kFunctions[missing] << " slot " << i;
        }
        EXPECT_NE(stub.lib_handle, nullptr);
        EXPECT_EQ(stub.dsp_arch, 0);
    }
}

// ---- Session --------------------------------------------------------------------------------

TEST_F(StubTest, SessionOpensRegistersAndClosesOnce) {
    {
        KestrelStub stub;
        load(stub);
        std::string out = stdout_of([&] { EXPECT_EQ(stub.sample_initialize(true, "cdsp1"), 0); });
        EXPECT_EQ(out, "");
        EXPECT_STREQ(
            fake().last_uri,
            "file:///libkestrel_skel.so?kestrel_skel_handle_invoke&_modver=1.0&_dom=cdsp1");
        EXPECT_EQ(stub.handle, 0x1234u);
        EXPECT_TRUE(stub.is_open);
        EXPECT_TRUE(stub.is_pmu_init);
        EXPECT_EQ(fake().pmu_init_calls, 1);
        EXPECT_EQ(fake().last_pmu_handle, 0x1234u);

        EXPECT_EQ(stub.sample_finalize(true), 0);
        EXPECT_EQ(fake().pmu_deinit_calls, 1);
        EXPECT_EQ(fake().close_calls, 1);
        EXPECT_EQ(fake().last_closed, 0x1234u);
        EXPECT_EQ(stub.handle, 0u);
        EXPECT_FALSE(stub.is_open);
        EXPECT_FALSE(stub.is_pmu_init);
    }
    // The destructor after a successful finalize does nothing more.
    EXPECT_EQ(fake().pmu_deinit_calls, 1);
    EXPECT_EQ(fake().close_calls, 1);
}

TEST_F(StubTest, LegacySessionNeverTouchesThePmuGroup) {
    KestrelStub stub;
    load(stub);
    EXPECT_EQ(stub.sample_initialize(false, "cdsp"), 0);
    EXPECT_STREQ(fake().last_uri,
                 "file:///libkestrel_skel.so?kestrel_skel_handle_invoke&_modver=1.0&_dom=cdsp");
    EXPECT_FALSE(stub.is_pmu_init);
    EXPECT_EQ(stub.sample_finalize(false), 0);
    EXPECT_EQ(fake().pmu_init_calls, 0);
    EXPECT_EQ(fake().pmu_deinit_calls, 0);
    EXPECT_EQ(fake().close_calls, 1);
}

TEST_F(StubTest, DestructorReleasesWhatAnEarlyReturnLeftOpen) {
    {
        KestrelStub stub;
        load(stub);
        EXPECT_EQ(stub.sample_initialize(true, "cdsp"), 0);
    }
    EXPECT_EQ(fake().pmu_deinit_calls, 1);
    EXPECT_EQ(fake().close_calls, 1);
}

TEST_F(StubTest, FailedOpenLeavesNothingToClose) {
    fake().open_result = static_cast<int>(0x80000405u);
    {
        KestrelStub stub;
        load(stub);
        int r = 0;
        std::string out = stdout_of([&] { r = stub.sample_initialize(true, "cdsp"); });
        EXPECT_EQ(r, -1);
        EXPECT_EQ(out, "[ERROR] [KestrelStub] kestrel_open(): error code = 80000405\n");
        EXPECT_FALSE(stub.is_open);
        EXPECT_EQ(fake().pmu_init_calls, 0);
    }
    EXPECT_EQ(fake().close_calls, 0);
}

TEST_F(StubTest, FailedRegistrationLeavesTheSessionToBeClosed) {
    fake().pmu_init_result = -1;
    {
        KestrelStub stub;
        load(stub);
        int r = 0;
        std::string out = stdout_of([&] { r = stub.sample_initialize(true, "cdsp"); });
        EXPECT_EQ(r, -1);
        EXPECT_EQ(out, "[ERROR] [KestrelStub] kestrel_pmu_init(): error code = ffffffff\n");
        EXPECT_TRUE(stub.is_open);
        EXPECT_FALSE(stub.is_pmu_init);
        EXPECT_EQ(fake().pmu_init_calls, 1);
    }
    EXPECT_EQ(fake().pmu_deinit_calls, 0);
    EXPECT_EQ(fake().close_calls, 1);
}

TEST_F(StubTest, FailedDeregistrationIsTriedOnceMoreThenTheSessionCloses) {
    const std::string failed = "[ERROR] [KestrelStub] kestrel_pmu_deinit(): error code = 2a\n";
    fake().pmu_deinit_result = 0x2a;
    for (int failures : {1, 0}) {  // the retry succeeds; every try fails
        fake().pmu_deinit_failures = failures;
        fake().pmu_deinit_calls = 0;
        fake().close_calls = 0;
        {
            KestrelStub stub;
            load(stub);
            ASSERT_EQ(stub.sample_initialize(true, "cdsp"), 0);
            int r = -5;
            std::string out = stdout_of([&] { r = stub.sample_finalize(true); });
            EXPECT_EQ(r, failures == 1 ? 0 : -1);
            EXPECT_EQ(out, failures == 1 ? failed : failed + failed);
            EXPECT_EQ(stub.is_pmu_init, failures == 0);
            EXPECT_FALSE(stub.is_open);
            EXPECT_EQ(fake().close_calls, 1);
            EXPECT_EQ(fake().pmu_deinit_calls, 2);
        }
        // The destructor has no session left to release the group through.
        EXPECT_EQ(fake().pmu_deinit_calls, 2);
        EXPECT_EQ(fake().close_calls, 1);
    }
}

TEST_F(StubTest, FailedCloseIsRetriedByTheDestructor) {
    fake().close_result = 0x3b;
    {
        KestrelStub stub;
        load(stub);
        ASSERT_EQ(stub.sample_initialize(true, "cdsp"), 0);
        EXPECT_EQ(stub.sample_finalize(true), -1);
        EXPECT_EQ(fake().pmu_deinit_calls, 1);
        fake().close_result = 0;
    }
    EXPECT_EQ(fake().close_calls, 2);
    EXPECT_EQ(fake().last_closed, 0x1234u);
    EXPECT_EQ(fake().pmu_deinit_calls, 1);
}

TEST_F(StubTest, FailedCloseKeepsTheHandle) {
    fake().close_result = 0x3b;
    KestrelStub stub;
    load(stub);
    ASSERT_EQ(stub.sample_initialize(false, "cdsp"), 0);
    int r = 0;
    std::string out = stdout_of([&] { r = stub.sample_finalize(false); });
    EXPECT_EQ(r, -1);
    EXPECT_EQ(out, "[ERROR] [KestrelStub] kestrel_close(): error code = 3b\n");
    EXPECT_EQ(stub.handle, 0x1234u);
    EXPECT_TRUE(stub.is_open);
    fake().close_result = 0;
}

TEST_F(StubTest, SessionWithHandleZeroIsStillReleasedAndClosed) {
    fake().open_handle = 0;
    KestrelStub stub;
    load(stub);
    ASSERT_EQ(stub.sample_initialize(true, "cdsp"), 0);
    EXPECT_EQ(stub.sample_finalize(true), 0);
    EXPECT_EQ(fake().pmu_deinit_calls, 1);
    EXPECT_EQ(fake().close_calls, 1);
    EXPECT_EQ(fake().last_closed, 0u);
    EXPECT_FALSE(stub.is_open);
}

// ---- Sampling -------------------------------------------------------------------------------

TEST_F(StubTest, SampleStoresUnsignedDifferencesWithWrap) {
    // pkg crosses the signed 32-bit limit, hmx wraps to 0 and hvx goes backwards.
    set_reading(0, 0x7ffffff0, 100, static_cast<int32_t>(0xfffffff0u), -1000,
                std::numeric_limits<int64_t>::max());
    set_reading(1, static_cast<int32_t>(0x80000010u), 50, 0x10, 1000,
                std::numeric_limits<int64_t>::min() + 9);
    fake().freq = static_cast<int32_t>(0x80000000u);
    fake().hmx_freq = 0;
    KestrelStub stub;
    load(stub);
    ASSERT_EQ(stub.sample_initialize(true, "cdsp"), 0);
    std::string out = stdout_of([&] { EXPECT_EQ(stub.sample_register(0), 0); });
    EXPECT_EQ(out, "");
    EXPECT_EQ(stub.committed_packets, 32.0f);
    EXPECT_EQ(stub.hvx_packets, 4294967246.0f);  // 50 - 100 modulo 2^32
    EXPECT_EQ(stub.hmx_active_cycles, 32.0f);
    EXPECT_EQ(stub.measured_time_ms, 2.0f);  // 64-bit timer wrap
    EXPECT_EQ(stub.processor_cycles, 10.0f);
    EXPECT_EQ(stub.dsp_freq_hz, 2147483648.0f);
    EXPECT_EQ(stub.hmx_freq_hz, 0.0f);
    EXPECT_EQ(fake().group_calls, 2);
    EXPECT_EQ(fake().freq_calls, 1);
}

TEST_F(StubTest, FailedSampleKeepsThePreviousOne) {
    set_reading(0, 0, 0, 0, 0, 0);
    set_reading(1, 10, 20, 30, 500000, 1000);
    fake().freq = 1000000000;
    KestrelStub stub;
    load(stub);
    ASSERT_EQ(stub.sample_initialize(true, "cdsp"), 0);
    ASSERT_EQ(stub.sample_register(0), 0);
    const float before[] = {stub.measured_time_ms, stub.processor_cycles,  stub.committed_packets,
                            stub.hvx_packets,      stub.hmx_active_cycles, stub.dsp_freq_hz};

    struct Case {
        int failing;  // 0: first reading, 1: second reading, 2: clock
        int code;
        const char* message;
    } cases[] = {
        {0, 0x11, "[ERROR] [KestrelStub] kestrel_get_group_pmt_value(1): error code = 11\n"},
        {1, 0x22, "[ERROR] [KestrelStub] kestrel_get_group_pmt_value(2): error code = 22\n"},
        {2, 0x33, "[ERROR] [KestrelStub] kestrel_get_dsp_current_freq(): error code = 33\n"},
    };
    for (const auto& c : cases) {
        fake().group_calls = 0;
        fake().reading_count = 2;
        fake().readings[0] = {0, 1, 1, 1, 0, 0};
        fake().readings[1] = {0, 99, 99, 99, 900000, 99999};
        fake().freq_result = 0;
        if (c.failing < 2) {
            fake().readings[c.failing].result = c.code;
        } else {
            fake().freq_result = c.code;
        }
        int r = 0;
        std::string out = stdout_of([&] { r = stub.sample_register(0); });
        EXPECT_EQ(r, -1);
        EXPECT_EQ(out, c.message);
        const float after[] = {stub.measured_time_ms,  stub.processor_cycles,
                               stub.committed_packets, stub.hvx_packets,
                               stub.hmx_active_cycles, stub.dsp_freq_hz};
        EXPECT_EQ(memcmp(before, after, sizeof(before)), 0) << c.message;
        EXPECT_EQ(fake().group_calls, c.failing == 0 ? 1 : 2);
    }
}

TEST_F(StubTest, LegacySampleReadsTimerAndCyclesOnly) {
    set_reading(0, 5, 5, 5, 2000000, 100);
    set_reading(1, 9, 9, 9, 3000000, 700000100);
    fake().freq = 600000000;
    KestrelStub stub;
    load(stub);
    ASSERT_EQ(stub.sample_initialize(false, "cdsp"), 0);
    EXPECT_EQ(stub.sample_register_legacy(0), 0);
    EXPECT_EQ(fake().legacy_calls, 2);
    EXPECT_EQ(fake().group_calls, 0);
    EXPECT_EQ(stub.measured_time_ms, 1000.0f);
    EXPECT_EQ(stub.processor_cycles, 700000000.0f);
    EXPECT_EQ(stub.dsp_freq_hz, 600000000.0f);
    EXPECT_EQ(stub.committed_packets, 0.0f);
    EXPECT_EQ(stub.hvx_packets, 0.0f);
    EXPECT_EQ(stub.hmx_active_cycles, 0.0f);

    // Both readings report their failure with the same text.
    for (int failing = 0; failing < 2; ++failing) {
        fake().legacy_calls = 0;
        fake().readings[0].result = failing == 0 ? 7 : 0;
        fake().readings[1].result = failing == 1 ? 7 : 0;
        int r = 0;
        std::string out = stdout_of([&] { r = stub.sample_register_legacy(0); });
        EXPECT_EQ(r, -1);
        EXPECT_EQ(out, "[ERROR] [KestrelStub] kestrel_get_legacy_perf_value(2): error code = 7\n");
    }
}

void on_alarm(int) {}

TEST_F(StubTest, InterruptedWindowWarnsAndTakesTheSecondReadingEarly) {
    set_reading(0, 0, 0, 0, 0, 0);
    set_reading(1, 1, 1, 1, 60000, 1);
    fake().freq = 1000000;
    KestrelStub stub;
    load(stub);
    ASSERT_EQ(stub.sample_initialize(true, "cdsp"), 0);

    struct sigaction sa {};
    struct sigaction old {};
    sa.sa_handler = on_alarm;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no restart: the signal cuts the sleep short
    ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
    itimerval timer{};
    timer.it_value.tv_usec = 50000;
    ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);
    int r = -5;
    std::string out = stdout_of([&] { r = stub.sample_register(60000); });
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(out,
              "[WARN ] [KestrelStub] nanosleep(): interrupted by a signal, it may be abnormal.\n");
    EXPECT_EQ(fake().group_calls, 2);
    EXPECT_EQ(stub.measured_time_ms, 60.0f);
}

TEST_F(StubTest, TheOwnersWaitReplacesTheSleepAndAWindowItEndsEarlyIsNoSample) {
    set_reading(0, 0, 0, 0, 0, 0);
    set_reading(1, 10, 20, 30, 2000000, 1000);
    set_reading(2, 99, 99, 99, 9000000, 9999);
    fake().freq = 1000000;
    KestrelStub stub;
    load(stub);
    ASSERT_EQ(stub.sample_initialize(true, "cdsp"), 0);
    unsigned long asked = 0;
    bool whole = true;
    stub.wait_window = [&](unsigned long ms) {
        asked = ms;
        return whole;
    };
    // A sleep would take the 2 s; the owner's wait answers at once.
    ASSERT_EQ(stub.sample_register(2000), 0);
    EXPECT_EQ(asked, 2000u);
    EXPECT_EQ(stub.measured_time_ms, 2000.0f);

    // Ended early: the second reading and the clock are not asked for, the last sample stays.
    whole = false;
    int r = 0;
    std::string out = stdout_of([&] { r = stub.sample_register(500); });
    EXPECT_EQ(r, -1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(asked, 500u);
    EXPECT_EQ(fake().group_calls, 3);
    EXPECT_EQ(fake().freq_calls, 1);
    EXPECT_EQ(stub.measured_time_ms, 2000.0f);
    out = stdout_of([&] { r = stub.sample_register_legacy(700); });
    EXPECT_EQ(r, -1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(asked, 700u);
    EXPECT_EQ(fake().legacy_calls, 1);
    EXPECT_EQ(fake().freq_calls, 1);
}

// ---- Analysis -------------------------------------------------------------------------------

void set_sample(KestrelStub& s, float ms, float cycles, float packets, float hvx, float hmx,
                float freq_hz) {
    s.measured_time_ms = ms;
    s.processor_cycles = cycles;
    s.committed_packets = packets;
    s.hvx_packets = hvx;
    s.hmx_active_cycles = hmx;
    s.dsp_freq_hz = freq_hz;
}

TEST(Analyzer, QdspLoadAgainstTheClock) {
    DataAnalyzer a;
    set_sample(a.GetDspStub(), 1000, 500000000, 250000000, 0, 0, 1000000000);
    a.analyze();
    EXPECT_EQ(a.qdsp6_load, 500.0f);
    EXPECT_EQ(a.qdsp6_utilization, 50.0f);
    EXPECT_EQ(a.pcpp, 2.0f);
    EXPECT_EQ(a.mpps, 250.0f);
}

TEST(Analyzer, HvxAndHmxAgainstTheCoreLoad) {
    DataAnalyzer a;
    set_sample(a.GetDspStub(), 1000, 4000000, 1000000, 500000, 1000000, 8000000);
    a.analyze();
    EXPECT_EQ(a.pcpp, 4.0f);
    EXPECT_EQ(a.hvx_mpps, 0.5f);
    EXPECT_EQ(a.qdsp6_load, 4.0f);
    EXPECT_EQ(a.hvx_utilization, 50.0f);
    EXPECT_EQ(a.hmx_mcps, 1.0f);
    EXPECT_EQ(a.hmx_utilization, 25.0f);
    EXPECT_EQ(a.qdsp6_utilization, 50.0f);
}

TEST(Analyzer, UsesSinglePrecisionInTheStatedOrder) {
    // Inputs for which another order of the operations, or double precision, rounds
    // differently.
    DataAnalyzer a;
    const float ms = 1000.5f, cycles = 711120704.0f, packets = 71798928.0f, hvx = 1804567.0f,
                hmx = 48877856.0f, hz = 1100000000.0f;
    set_sample(a.GetDspStub(), ms, cycles, packets, hvx, hmx, hz);
    a.analyze();
    volatile float t = ms / 1000.0f;
    volatile float pcpp = cycles / packets;
    volatile float hvx_mpps = (hvx / t) / 1000000.0f;
    volatile float hmx_mcps = (hmx / t) / 1000000.0f;
    volatile float load = (cycles / t) / 1000000.0f;
    volatile float step = hvx_mpps * 100.0f;
    step = step * pcpp;
    volatile float hvx_util = step / load;
    volatile float hmx_step = hmx_mcps * 100.0f;
    volatile float hmx_util = hmx_step / load;
    EXPECT_EQ(a.pcpp, pcpp);
    EXPECT_EQ(a.qdsp6_load, load);
    EXPECT_EQ(a.hvx_utilization, hvx_util);
    EXPECT_EQ(a.hmx_utilization, hmx_util);
    EXPECT_EQ(a.hvx_utilization, 2.51336217f);
    EXPECT_EQ(a.hmx_utilization, 6.87335587f);
}

TEST(Analyzer, ClampKeepsNotANumber) {
    using vorlix::kestrel::clamp_utilization;
    EXPECT_EQ(clamp_utilization(130.0f), 100.0f);
    EXPECT_EQ(clamp_utilization(-0.5f), 0.0f);
    EXPECT_EQ(clamp_utilization(42.5f), 42.5f);
    EXPECT_EQ(clamp_utilization(std::numeric_limits<float>::infinity()), 100.0f);
    EXPECT_EQ(clamp_utilization(-std::numeric_limits<float>::infinity()), 0.0f);
    EXPECT_TRUE(std::isnan(clamp_utilization(std::nanf(""))));
}

TEST(Analyzer, OverloadIsPrintedAsOneHundred) {
    DataAnalyzer a;
    set_sample(a.GetDspStub(), 1000, 1300000000, 1, 0, 0, 1000000000);
    a.analyze();
    EXPECT_EQ(stdout_of([&] { a.print_dsp(); }),
              "dsp current freq: 1000.000000 (MHz), current sample time(ms): 1000.000000\n"
              "qdsp6 utilization: 100.000000 (%)\n");
}

TEST(Analyzer, PrintAllAndPerUnitLines) {
    DataAnalyzer a;
    a.GetDspStub().dsp_arch = 0x73;
    set_sample(a.GetDspStub(), 1000, 4000000, 1000000, 500000, 1000000, 8000000);
    a.analyze();
    const std::string freq =
        "dsp current freq: 8.000000 (MHz), current sample time(ms): 1000.000000\n";
    EXPECT_EQ(stdout_of([&] { a.print_all(); }), "dsp arch: V73\n" + freq +
                                                     "qdsp6 utilization: 50.000000 (%)\n"
                                                     "hvx utilization: 50.000000 (%)\n"
                                                     "hmx utilization: 25.000000 (%)\n");
    EXPECT_EQ(stdout_of([&] { a.print_hvx(); }), freq + "hvx utilization: 50.000000 (%)\n");
    EXPECT_EQ(stdout_of([&] { a.print_hmx(); }), freq + "hmx utilization: 25.000000 (%)\n");
    a.GetDspStub().dsp_arch = 5;
    EXPECT_EQ(stdout_of([&] { a.print_all(); }).substr(0, 14), "dsp arch: V05\n");
}

TEST(Analyzer, DebugBlockListsEveryInputAndFigure) {
    DataAnalyzer a;
    a.GetDspStub().dsp_arch = 0x68;
    set_sample(a.GetDspStub(), 1000, 4000000, 1000000, 500000, 1000000, 8000000);
    a.GetDspStub().hmx_freq_hz = 0;
    a.analyze();
    EXPECT_EQ(stdout_of([&] { a.print_dbg(); }),
              "dsp arch: V68\n"
              "Measured time period = 1000.000000(ms)\n"
              "Processor cycles = 4000000.000000\n"
              "Commited packets = 1000000.000000\n"
              "HVX packets = 500000.000000\n"
              "HMX active cycles = 1000000.000000\n"
              "dsp freq = 8000000.000000(hz)\n"
              "hmx freq = 0.000000(hz) (Now, Not Support)\n"
              "qdsp6_load = 4.000000\n"
              "pcpp = 4.000000\n"
              "mpps = 1.000000\n"
              "hvx_mpps = 0.500000\n"
              "hmx_mcps = 1.000000\n"
              "qdsp6_utilization = 50.000000\n"
              "hmx_utilization = 25.000000\n"
              "hvx_utilization = 50.000000\n");
}

TEST(Analyzer, LegacySampleHasNoPacketFigures) {
    DataAnalyzer a;
    set_sample(a.GetDspStub(), 1000, 300000000, 0, 0, 0, 600000000);
    a.analyze();
    EXPECT_TRUE(std::isinf(a.pcpp));
    EXPECT_TRUE(std::isnan(a.hvx_utilization));
    a.qdsp6_utilization = -1;  // recomputed by the legacy print
    EXPECT_EQ(stdout_of([&] { a.print_dsp_legacy(); }),
              "dsp current freq: 600.000000 (MHz), current sample time(ms): 1000.000000\n"
              "qdsp6 utilization: 50.000000 (%)\n");
    EXPECT_EQ(a.qdsp6_utilization, 50.0f);
}

// ---- One sampling cycle ---------------------------------------------------------------------

class CycleTest : public StubTest {
  protected:
    void SetUp() override {
        StubTest::SetUp();
        set_reading(0, 0, 0, 0, 0, 0);
        set_reading(1, 1000000, 500000, 1000000, 1000000, 4000000);
        fake().freq = 8000000;
        analyzer.GetDspStub().init(FAKE_STUB_PATH, 3, 0x73);
        params.sample_time = 0;
    }
    std::string cycle(int expected_result = 0) {
        fake().group_calls = 0;
        fake().legacy_calls = 0;
        return stdout_of(
            [&] { EXPECT_EQ(sample_and_analyze_one_times(analyzer, params), expected_result); });
    }
    DataAnalyzer analyzer;
    cmdline_user_params params;
    const std::string freq =
        "dsp current freq: 8.000000 (MHz), current sample time(ms): 1000.000000\n";
};

TEST_F(CycleTest, PrintsOnlyWhatIsSelected) {
    ASSERT_EQ(analyzer.GetDspStub().sample_initialize(true, "cdsp"), 0);
    EXPECT_EQ(cycle(), "");
    EXPECT_EQ(fake().group_calls, 2);

    params.dsp = params.hvx = true;
    EXPECT_EQ(cycle(), freq + "qdsp6 utilization: 50.000000 (%)\n" + freq +
                           "hvx utilization: 50.000000 (%)\n");

    params.dsp = params.hvx = false;
    params.hmx = true;
    EXPECT_EQ(cycle(), freq + "hmx utilization: 25.000000 (%)\n");

    params.hmx = false;
    params.debug = true;
    std::string dbg = cycle();
    EXPECT_EQ(dbg.substr(0, 14), "dsp arch: V73\n");
    EXPECT_NE(dbg.find("hvx_utilization = 50.000000\n"), std::string::npos);

    // --all takes precedence over the single choices and the debug block.
    params.all = params.dsp = true;
    EXPECT_EQ(cycle(), "dsp arch: V73\n" + freq +
                           "qdsp6 utilization: 50.000000 (%)\n"
                           "hvx utilization: 50.000000 (%)\n"
                           "hmx utilization: 25.000000 (%)\n");
}

TEST_F(CycleTest, LegacyPrintsFrequencyAndQdsp6Only) {
    ASSERT_EQ(analyzer.GetDspStub().sample_initialize(false, "cdsp"), 0);
    params.run_legacy = true;
    params.all = true;
    EXPECT_EQ(cycle(), freq + "qdsp6 utilization: 50.000000 (%)\n");
    EXPECT_EQ(fake().legacy_calls, 2);
    EXPECT_EQ(fake().group_calls, 0);
}

TEST_F(CycleTest, FailedSampleAddsItsLineAndAnEmptyOne) {
    ASSERT_EQ(analyzer.GetDspStub().sample_initialize(true, "cdsp"), 0);
    params.all = true;
    fake().readings[1].result = 0x44;
    EXPECT_EQ(cycle(-1),
              "[ERROR] [KestrelStub] kestrel_get_group_pmt_value(2): error code = 44\n"
              "[ERROR] [KESTREL] kestrel_stub sample_register failure.\n\n");
    params.run_legacy = true;
    EXPECT_EQ(cycle(-1),
              "[ERROR] [KestrelStub] kestrel_get_legacy_perf_value(2): error code = 44\n"
              "[ERROR] [KESTREL] kestrel_stub sample_register_legacy failure.\n\n");
}

}  // namespace
