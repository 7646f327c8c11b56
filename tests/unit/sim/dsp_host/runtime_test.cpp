// The DSP runtime stand-in on its own: the load model against the monitor's formulas, counter
// wrap, scripted readings, DSP-side faults, PMU groups, the heap, formatting and trace lines,
// the loads of its clients.
#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "hexagon/dsp_registers.h"
#include "messages.h"
#include "runtime.h"

namespace {

std::vector<std::string> g_trace;

}  // namespace

// The DSP host's trace output, captured.
extern "C" void dsp_host_trace(const char* text, uint32_t len) {
    g_trace.emplace_back(text, len);
}

namespace {

constexpr uint64_t kSecond = 1000000000ull;

// A DSP's configuration as the application side sends it: the domain's figures and scripts,
// the flags and the DSP-side faults.
struct Config {
    kestrel_sim::Domain d;
    uint32_t flags = SIM_CFG_PMU | SIM_CFG_TRACE;
    std::vector<sim_fault> faults;

    Config() {
        d.name = "cdsp";
        d.load = {0.45, 0.25, 0.12, 2.5, {}, 0};
        d.heap_bytes = 4096;
    }

    // The configuration message (the frame's payload).
    std::vector<uint8_t> message() const {
        const std::vector<uint8_t> frame = kestrel_sim::config_frame(d, flags, faults);
        return std::vector<uint8_t>(frame.begin() + SIM_FRAME_HEADER_BYTES, frame.end());
    }

    // Applies the configuration with the load model starting at `start_ns`.
    void apply(uint64_t start_ns = 5 * kSecond) {
        const std::vector<uint8_t> msg = message();
        ASSERT_EQ(dsp_rt_configure(msg.data(), static_cast<uint32_t>(msg.size()), start_ns), 0);
        g_trace.clear();
    }
};

struct Reading {
    uint64_t timer_us;
    uint64_t pcycle;
    uint32_t pkg, hvx, hmx;
};

HAP_pmu_group_config_t standard_group() {
    HAP_pmu_group_config_t g{};
    g.num_events = 3;
    g.events[0] = 0x0003;
    g.events[1] = 0x0111;
    g.events[2] = 0x0200;
    return g;
}

// One reading as the DSP library takes it: timer (in microseconds), cycles, the group.
Reading read_at(uint64_t now_ns, HAP_pmu_group_config_t* g) {
    dsp_rt_set_now(now_ns);
    Reading r{};
    r.timer_us = dsp_read_utimer() * 10 / 192;
    r.pcycle = dsp_read_upcycle();
    EXPECT_EQ(dsp_rt_pmu_read(g), 0);
    r.pkg = g->pmu_values[0];
    r.hvx = g->pmu_values[1];
    r.hmx = g->pmu_values[2];
    return r;
}

struct Figures {
    float qdsp6, hvx, hmx;
};

// The monitor's formulas, in single precision as it computes them.
Figures monitor_figures(const Reading& a, const Reading& b, uint32_t freq_hz) {
    const float measured_ms = static_cast<float>(b.timer_us - a.timer_us) / 1000.0f;
    const float cycles = static_cast<float>(b.pcycle - a.pcycle);
    const float pkts = static_cast<float>(static_cast<uint32_t>(b.pkg - a.pkg));
    const float hvx = static_cast<float>(static_cast<uint32_t>(b.hvx - a.hvx));
    const float hmx = static_cast<float>(static_cast<uint32_t>(b.hmx - a.hmx));
    const float t = measured_ms / 1000.0f;
    const float pcpp = cycles / pkts;
    const float mhz = static_cast<float>(freq_hz) / 1000000.0f;
    const float hvx_mpps = (hvx / t) / 1000000.0f;
    const float hmx_mcps = (hmx / t) / 1000000.0f;
    const float load = (cycles / t) / 1000000.0f;
    return {(load * 100.0f) / mhz, (hvx_mpps * 100.0f * pcpp) / load, (hmx_mcps * 100.0f) / load};
}

TEST(SimLoadModel, MonitorFormulasGiveBackTheBoardFigures) {
    struct Case {
        uint32_t clock;
        double core, hvx, hmx, pcpp;
    };
    const Case cases[] = {{1000000000u, 0.45, 0.25, 0.12, 2.5},
                          {1400000000u, 0.70, 0.40, 0.20, 3.0},
                          {1200000000u, 0.10, 0.0, 0.0, 1.5},
                          {300000000u, 0.999, 1.0, 1.0, 1.0}};
    const uint64_t windows_ms[] = {1000, 100, 20};
    for (const auto& cs : cases) {
        for (uint64_t window : windows_ms) {
            Config cfg;
            cfg.d.clock_hz = cs.clock;
            cfg.d.load.core = cs.core;
            cfg.d.load.hvx = cs.hvx;
            cfg.d.load.hmx = cs.hmx;
            cfg.d.load.pcpp = cs.pcpp;
            cfg.apply(7 * kSecond + 123457);
            HAP_pmu_group_config_t g = standard_group();
            ASSERT_EQ(dsp_rt_pmu_register(&g), 0);
            // Readings at odd instants, the way a real run would take them.
            const uint64_t t1 = 9 * kSecond + 987653;
            const Reading a = read_at(t1, &g);
            const Reading b = read_at(t1 + window * 1000000 + 311, &g);
            const Figures f = monitor_figures(a, b, cs.clock);
            const std::string what =
                "clock " + std::to_string(cs.clock) + " window " + std::to_string(window);
            EXPECT_NEAR(f.qdsp6, cs.core * 100, 0.05) << what;
            EXPECT_NEAR(f.hvx, cs.hvx * 100, 0.05) << what;
            EXPECT_NEAR(f.hmx, cs.hmx * 100, 0.05) << what;
        }
    }
}

TEST(SimLoadModel, UtimerTicksAt19Point2MHzFromTheMonotonicClock) {
    Config cfg;
    cfg.apply(0);
    dsp_rt_set_now(kSecond);
    EXPECT_EQ(dsp_read_utimer(), 19200000u);
    dsp_rt_set_now(625);
    EXPECT_EQ(dsp_read_utimer(), 12u);
    dsp_rt_set_now(100 * kSecond + 624);
    EXPECT_EQ(dsp_read_utimer(), 1920000000u + 11u);
}

TEST(SimLoadModel, CyclesStartAtTheConfiguredValueAndFollowTheLoad) {
    Config cfg;
    cfg.d.upcycle_start = 1000;
    cfg.apply(2 * kSecond);
    dsp_rt_set_now(2 * kSecond);
    EXPECT_EQ(dsp_read_upcycle(), 1000u);
    dsp_rt_set_now(4 * kSecond);  // two seconds at 45 % of 1 GHz
    EXPECT_EQ(dsp_read_upcycle(), 1000u + 900000000u);
    dsp_rt_set_now(kSecond);  // before the start: no negative time
    EXPECT_EQ(dsp_read_upcycle(), 1000u);
}

TEST(SimLoadModel, ThirtyTwoBitCountersWrapAndDifferencesStayTrue) {
    Config cfg;
    cfg.d.pmu_start[0] = 0xfffffff0u;
    cfg.d.pmu_start[1] = 0xffffff00u;
    cfg.d.pmu_start[2] = 0xffff0000u;
    cfg.apply(0);
    HAP_pmu_group_config_t g = standard_group();
    ASSERT_EQ(dsp_rt_pmu_register(&g), 0);
    const Reading a = read_at(0, &g);
    EXPECT_EQ(a.pkg, 0xfffffff0u);
    const Reading b = read_at(kSecond, &g);
    // 450e6 cycles: 180e6 packets, 45e6 HVX packets, 54e6 HMX cycles.
    EXPECT_LT(b.pkg, a.pkg);
    EXPECT_EQ(static_cast<uint32_t>(b.pkg - a.pkg), 180000000u);
    EXPECT_EQ(static_cast<uint32_t>(b.hvx - a.hvx), 45000000u);
    EXPECT_EQ(static_cast<uint32_t>(b.hmx - a.hmx), 54000000u);
    const Figures f = monitor_figures(a, b, cfg.d.clock_hz);
    EXPECT_NEAR(f.hvx, 25.0, 0.05);
    EXPECT_NEAR(f.hmx, 12.0, 0.05);

    // Long enough for the packet counter to go round more than once.
    const Reading c = read_at(30 * kSecond, &g);
    EXPECT_EQ(c.pkg, static_cast<uint32_t>(0xfffffff0u + 30ull * 180000000u));
}

TEST(SimLoadModel, ValuesFollowTheEventOrderOfTheGroup) {
    Config cfg;
    cfg.d.script.pmu = {{100, 200, 300}};
    cfg.apply();
    HAP_pmu_group_config_t g{};
    g.num_events = 4;
    g.events[0] = 0x0200;
    g.events[1] = 0x0003;
    g.events[2] = 0x0999;  // not modelled: reads 0
    g.events[3] = 0x0111;
    ASSERT_EQ(dsp_rt_pmu_register(&g), 0);
    ASSERT_EQ(dsp_rt_pmu_read(&g), 0);
    EXPECT_EQ(g.pmu_values[0], 300u);
    EXPECT_EQ(g.pmu_values[1], 100u);
    EXPECT_EQ(g.pmu_values[2], 0u);
    EXPECT_EQ(g.pmu_values[3], 200u);
}

TEST(SimScripts, ReadingsComeInOrderAndTheLastRepeats) {
    Config cfg;
    cfg.d.script.utimer = {19200000, 38400000};
    cfg.d.script.upcycle = {7, 8, 9};
    cfg.d.script.pmu = {{1, 2, 3}, {4, 5, 6}};
    cfg.d.script.clock_hz = {500000000};
    cfg.apply();
    EXPECT_EQ(dsp_read_utimer(), 19200000u);
    EXPECT_EQ(dsp_read_utimer(), 38400000u);
    EXPECT_EQ(dsp_read_utimer(), 38400000u);
    EXPECT_EQ(dsp_read_upcycle(), 7u);
    EXPECT_EQ(dsp_read_upcycle(), 8u);
    HAP_pmu_group_config_t g = standard_group();
    ASSERT_EQ(dsp_rt_pmu_register(&g), 0);
    ASSERT_EQ(dsp_rt_pmu_read(&g), 0);
    EXPECT_EQ(g.pmu_values[2], 3u);
    ASSERT_EQ(dsp_rt_pmu_read(&g), 0);
    ASSERT_EQ(dsp_rt_pmu_read(&g), 0);
    EXPECT_EQ(g.pmu_values[0], 4u);
    HAP_power_response_t r{};
    r.type = HAP_power_get_clk_Freq;
    ASSERT_EQ(HAP_power_get(nullptr, &r), 0);
    EXPECT_EQ(r.value.clkFreqHz, 500000000u);
}

TEST(SimPower, GetAnswersTheClockAndRefusesOtherTypes) {
    Config cfg;
    cfg.d.clock_hz = 1400000000u;
    cfg.apply();
    HAP_power_response_t r{};
    r.type = HAP_power_get_clk_Freq;
    ASSERT_EQ(HAP_power_get(nullptr, &r), 0);
    EXPECT_EQ(r.value.clkFreqHz, 1400000000u);
    r.type = 1;
    EXPECT_NE(HAP_power_get(nullptr, &r), 0);
    HAP_power_request_t req{};
    req.type = HAP_power_set_DCVS_v2;
    EXPECT_EQ(HAP_power_set(nullptr, &req), 0);
}

TEST(SimFaults, NthCallOrEveryCallReturnsTheInjectedResult) {
    Config cfg;
    cfg.faults = {{SIM_CALL_POWER_GET, 2, -7, 0},
                  {SIM_CALL_POWER_SET, 0, 0x5000, 0},
                  {SIM_CALL_MALLOC, 1, 0, 0},
                  {SIM_CALL_PMU_READ, 1, -1, 0}};
    cfg.apply();
    HAP_power_response_t r{};
    r.type = HAP_power_get_clk_Freq;
    EXPECT_EQ(HAP_power_get(nullptr, &r), 0);
    r.value.clkFreqHz = 0;
    EXPECT_EQ(HAP_power_get(nullptr, &r), -7);
    EXPECT_EQ(r.value.clkFreqHz, 0u);  // a failed call writes nothing
    EXPECT_EQ(HAP_power_get(nullptr, &r), 0);
    HAP_power_request_t req{};
    req.type = HAP_power_set_DCVS_v2;
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(HAP_power_set(nullptr, &req), 0x5000);
    EXPECT_EQ(__wrap_malloc(8), nullptr);
    void* p = __wrap_malloc(8);
    EXPECT_NE(p, nullptr);
    __wrap_free(p);
    HAP_pmu_group_config_t g = standard_group();
    ASSERT_EQ(dsp_rt_pmu_register(&g), 0);
    g.pmu_values[0] = 77;
    EXPECT_EQ(dsp_rt_pmu_read(&g), -1);
    EXPECT_EQ(g.pmu_values[0], 77u);
    EXPECT_EQ(dsp_rt_pmu_read(&g), 0);
    // The trace lines of exactly the failed calls are marked.
    int marked = 0;
    for (const auto& line : g_trace) {
        marked += nlohmann::json::parse(line).value("injected", false) ? 1 : 0;
    }
    EXPECT_EQ(marked, 1 + 3 + 1 + 1);
}

TEST(SimPmuGroups, RegistrationIdsAndLimits) {
    Config cfg;
    cfg.d.max_pmu_groups = 2;
    cfg.apply();
    HAP_pmu_group_config_t a = standard_group(), b = standard_group(), c = standard_group();
    ASSERT_EQ(dsp_rt_pmu_register(&a), 0);
    ASSERT_EQ(dsp_rt_pmu_register(&b), 0);
    EXPECT_NE(a.group_id, b.group_id);
    EXPECT_EQ(dsp_rt_pmu_register(&c), -1);
    EXPECT_EQ(dsp_rt_pmu_groups(), 2u);
    EXPECT_EQ(dsp_rt_pmu_deregister(a.group_id), 0);
    EXPECT_EQ(dsp_rt_pmu_deregister(a.group_id), -1);
    EXPECT_EQ(dsp_rt_pmu_read(&a), -1);  // no longer registered
    EXPECT_EQ(dsp_rt_pmu_groups(), 1u);
    HAP_pmu_group_config_t empty{};
    EXPECT_EQ(dsp_rt_pmu_register(&empty), -1);
    HAP_pmu_group_config_t five = standard_group();
    five.num_events = 5;
    EXPECT_EQ(dsp_rt_pmu_register(&five), -1);
}

TEST(SimHeap, AllocatesFreesAndReusesTheArena) {
    Config cfg;
    cfg.d.heap_bytes = 1024;
    cfg.apply();
    std::vector<void*> blocks;
    for (void* p = __wrap_malloc(16); p != nullptr; p = __wrap_malloc(16)) {
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
        blocks.push_back(p);
        ASSERT_LT(blocks.size(), 100u);
    }
    EXPECT_GE(blocks.size(), 20u);
    EXPECT_EQ(dsp_rt_heap_blocks(), blocks.size());
    std::memset(blocks[0], 0xab, 16);
    EXPECT_EQ(__wrap_malloc(512), nullptr);
    for (void* p : blocks)
        __wrap_free(p);
    EXPECT_EQ(dsp_rt_heap_blocks(), 0u);
    // The freed blocks merge again into one large block.
    void* big = __wrap_malloc(512);
    EXPECT_NE(big, nullptr);
    __wrap_free(big);
}

TEST(SimHeap, ForeignAndDoubleFreesAreReportedNotApplied) {
    Config cfg;
    cfg.apply();
    void* p = __wrap_malloc(32);
    ASSERT_NE(p, nullptr);
    int local = 0;
    g_trace.clear();
    __wrap_free(&local);
    __wrap_free(p);
    __wrap_free(p);
    __wrap_free(nullptr);
    ASSERT_EQ(g_trace.size(), 4u);
    EXPECT_EQ(nlohmann::json::parse(g_trace[0])["result"], -1);
    EXPECT_EQ(nlohmann::json::parse(g_trace[1])["result"], 0);
    EXPECT_EQ(nlohmann::json::parse(g_trace[2])["result"], -1);
    EXPECT_EQ(nlohmann::json::parse(g_trace[3])["result"], 0);
}

TEST(SimFormat, MatchesTheCLibrary) {
    char ours[128];
    char theirs[128];
#define CHECK_FORMAT(...)                                           \
    do {                                                            \
        int n1 = dsp_format(ours, sizeof ours, __VA_ARGS__);        \
        int n2 = std::snprintf(theirs, sizeof theirs, __VA_ARGS__); \
        EXPECT_EQ(n1, n2) << #__VA_ARGS__;                          \
        EXPECT_STREQ(ours, theirs) << #__VA_ARGS__;                 \
    } while (0)
    CHECK_FORMAT("plain text %% done");
    CHECK_FORMAT("%d|%i|%u|%x|%X|%o", -42, 17, 4000000000u, 0xbeefu, 0xbeefu, 8u);
    CHECK_FORMAT("%5d|%-5d|%05d|%+d|% d|%.3d", 42, 42, -42, 42, 42, 7);
    CHECK_FORMAT("%ld|%lu|%lx|%lld|%llu", -5L, 5UL, 0xfffffffffUL, -9223372036854775807LL - 1,
                 18446744073709551615ULL);
    CHECK_FORMAT("%hd|%hhu|%zu", 70000, 300, static_cast<size_t>(12345));
    CHECK_FORMAT("%s|%10s|%-10s|%.2s|%c|%3c", "abc", "right", "left", "cut", 'x', 'y');
    CHECK_FORMAT("ERROR 0x%x: handle=0x%lx, scalar=0x%x, method ID=%d: %s failed\n", 0x8000040eu,
                 0x5e55000000000001UL, 0x05000100u, 5, "_stub_method_2");
    CHECK_FORMAT("%*d|%-*d|%.*s", 6, 1, 4, 2, 3, "abcdef");
    CHECK_FORMAT("%d %u", 0, 0u);
#undef CHECK_FORMAT
}

TEST(SimFormat, TruncatesLikeSnprintf) {
    char buf[8];
    std::memset(buf, 'z', sizeof buf);
    EXPECT_EQ(dsp_format(buf, sizeof buf, "%s", "0123456789"), 10);
    EXPECT_STREQ(buf, "0123456");
    EXPECT_EQ(dsp_format(nullptr, 0, "%d", 12345), 5);
    char one[1] = {'q'};
    EXPECT_EQ(dsp_format(one, 1, "abc"), 3);
    EXPECT_EQ(one[0], '\0');
}

TEST(SimTrace, LinesAreJsonEvenForAwkwardText) {
    Config cfg;
    cfg.apply();
    const char text[] = "quote \" backslash \\ newline \n tab \t byte \x01 high \xc3\xa9";
    HAP_debug(text, 0x22, "file\"name", 17);
    ASSERT_EQ(g_trace.size(), 1u);
    nlohmann::json j = nlohmann::json::parse(g_trace[0]);
    EXPECT_EQ(j["side"], "dsp");
    EXPECT_EQ(j["domain"], "cdsp");
    EXPECT_EQ(j["call"], "HAP_debug");
    EXPECT_EQ(j["level"], 0x22);
    EXPECT_EQ(j["line"], 17);
    EXPECT_EQ(j["file"], "file\"name");
    const std::string msg = j["message"];
    EXPECT_EQ(msg.substr(0, 33), "quote \" backslash \\ newline \n tab");
    EXPECT_NE(msg.find('\x01'), std::string::npos);

    // A message longer than a line holds is cut, and the line says so.
    std::string huge(3000, 'x');
    g_trace.clear();
    HAP_debug(huge.c_str(), 2, "f", 1);
    ASSERT_EQ(g_trace.size(), 1u);
    j = nlohmann::json::parse(g_trace[0]);
    EXPECT_LT(j["message"].get<std::string>().size(), huge.size());
}

TEST(SimTrace, OverlongLinesStayJsonAndSaySoAtEveryLength) {
    Config cfg;
    cfg.apply();
    // Escaped control bytes take six characters each: the line overflows at some point inside
    // the message, whatever the message's length.
    bool seen_cut = false;
    for (size_t n = 100; n <= 200; ++n) {
        std::string text(n, '\x01');
        g_trace.clear();
        HAP_debug(text.c_str(), 2, "f", 1);
        ASSERT_EQ(g_trace.size(), 1u);
        nlohmann::json j;
        ASSERT_NO_THROW(j = nlohmann::json::parse(g_trace[0])) << n << ": " << g_trace[0];
        EXPECT_EQ(j["call"], "HAP_debug");
        // Marked exactly when the message lost characters.
        const bool cut = j["message"].get<std::string>().size() < n;
        EXPECT_EQ(j.value("truncated", false), cut) << n;
        EXPECT_LE(g_trace[0].size(), 1024u);
        seen_cut = seen_cut || cut;
    }
    EXPECT_TRUE(seen_cut);
}

TEST(SimTrace, NothingIsSentWhenTheTraceIsOff) {
    Config cfg;
    cfg.flags = SIM_CFG_PMU;
    cfg.apply();
    HAP_debug("quiet", 2, "f", 1);
    (void)dsp_read_upcycle();
    EXPECT_TRUE(g_trace.empty());
}

TEST(SimLogging, FormattedMessagesReachTheTrace) {
    Config cfg;
    cfg.apply();
    auto log = [](const char* call, const char* fmt, ...) {
        va_list ap;
        va_start(ap, fmt);
        dsp_rt_vlog(call, 2, "kestrel_skel_impl", 99, fmt, ap);
        va_end(ap);
    };
    log("HAP_debug_runtime", "%s failed %d", "register pmu event", -1);
    ASSERT_EQ(g_trace.size(), 1u);
    nlohmann::json j = nlohmann::json::parse(g_trace[0]);
    EXPECT_EQ(j["call"], "HAP_debug_runtime");
    EXPECT_EQ(j["message"], "register pmu event failed -1");
    EXPECT_EQ(j["file"], "kestrel_skel_impl");
    EXPECT_EQ(j["line"], 99);
}

TEST(SimConfigure, RefusesShortOrOversizedMessages) {
    Config cfg;
    const std::vector<uint8_t> fixed = cfg.message();  // no faults, no scripts
    EXPECT_EQ(dsp_rt_configure(fixed.data(), static_cast<uint32_t>(fixed.size()) - 1, 0), -1);
    cfg.faults = {{SIM_CALL_MALLOC, 1, 0, 0}, {SIM_CALL_MALLOC, 2, 0, 0}};
    const std::vector<uint8_t> with_faults = cfg.message();
    // announced but missing
    EXPECT_EQ(dsp_rt_configure(with_faults.data(), static_cast<uint32_t>(fixed.size()), 0), -1);
    cfg.faults.clear();
    cfg.d.script.pmu.resize(SIM_MAX_SCRIPT + 1);
    const std::vector<uint8_t> long_script = cfg.message();
    EXPECT_EQ(dsp_rt_configure(long_script.data(), static_cast<uint32_t>(long_script.size()), 0),
              -1);
    // Load steps the model cannot follow: a period that ends before the last step starts.
    cfg.d.script.pmu.clear();
    cfg.d.load.steps = {{0, 0.2, 0, 0}, {500, 0.8, 0, 0}};
    cfg.d.load.period_ms = 500;
    const std::vector<uint8_t> steps = cfg.message();
    EXPECT_EQ(dsp_rt_configure(steps.data(), static_cast<uint32_t>(steps.size()), 0), -1);
    cfg.d.load.period_ms = 501;
    const std::vector<uint8_t> good = cfg.message();
    EXPECT_EQ(dsp_rt_configure(good.data(), static_cast<uint32_t>(good.size()), 0), 0);
}

}  // namespace

// A client's load adds to the board's from where it is known, step by step, and goes when its
// link closes: what was read before it came is never changed.
TEST(SimClients, LoadsAddWhileTheyRunAndGoWithTheirLink) {
    Config cfg;
    cfg.d.clock_hz = 1000000000u;
    cfg.d.load.core = 0.0;
    cfg.d.load.pcpp = 2.0;
    cfg.apply(1 * kSecond);
    HAP_pmu_group_config_t g = standard_group();
    ASSERT_EQ(dsp_rt_pmu_register(&g), 0);
    const auto ms = [](uint64_t n) { return n * 1000000ull; };
    const auto between = [&g](const Reading& a, uint64_t to) {
        return monitor_figures(a, read_at(to, &g), 1000000000u);
    };
    // Told after a reading at 2.5 s of a client that started at 2 s: 2 s of 50 % core (60 % of
    // it HVX), then 20 % core with HMX until its link closes. Its first 0.5 s are not counted.
    const Reading known = read_at(ms(2500), &g);
    const dsp_client_step steps[] = {{2 * kSecond, 0.5, 0.6, 0.0}, {0, 0.2, 0.0, 0.3}};
    const int client = dsp_rt_client_begin(2 * kSecond, steps, 2);
    ASSERT_GE(client, 0);
    Figures f = between(known, ms(3000));
    EXPECT_NEAR(f.qdsp6, 50.0, 0.05);
    EXPECT_NEAR(f.hvx, 60.0, 0.05);
    EXPECT_NEAR(f.hmx, 0.0, 0.05);
    f = between(read_at(ms(4100), &g), ms(4200));  // the second step
    EXPECT_NEAR(f.qdsp6, 20.0, 0.05);
    EXPECT_NEAR(f.hvx, 0.0, 0.05);
    EXPECT_NEAR(f.hmx, 30.0, 0.05);
    // The link closes at 5 s: a window across it holds half of the load.
    const Reading before = read_at(ms(4500), &g);
    dsp_rt_client_end(client, 5 * kSecond);
    EXPECT_NEAR(between(before, ms(5500)).qdsp6, 10.0, 0.05);
    EXPECT_NEAR(between(read_at(ms(6000), &g), ms(7000)).qdsp6, 0.0, 0.05);
    // Two clients add up; the slot of the ended one serves again.
    const dsp_client_step busy[] = {{0, 0.25, 0.0, 0.0}};
    ASSERT_GE(dsp_rt_client_begin(ms(7000), busy, 1), 0);
    ASSERT_GE(dsp_rt_client_begin(ms(7000), busy, 1), 0);
    EXPECT_NEAR(between(read_at(ms(7500), &g), ms(8500)).qdsp6, 50.0, 0.05);
}

TEST(SimClients, MalformedStepsAndAFullTableAreRefused) {
    Config cfg;
    cfg.apply();
    const dsp_client_step step[] = {{0, 0.1, 0.0, 0.0}};
    EXPECT_EQ(dsp_rt_client_begin(kSecond, step, 0), -1);
    EXPECT_EQ(dsp_rt_client_begin(kSecond, step, DSP_MAX_CLIENT_STEPS + 1), -1);
    for (int i = 0; i < DSP_MAX_CLIENTS; ++i) {
        ASSERT_GE(dsp_rt_client_begin(kSecond, step, 1), 0);
    }
    EXPECT_EQ(dsp_rt_client_begin(kSecond, step, 1), -1);
}
