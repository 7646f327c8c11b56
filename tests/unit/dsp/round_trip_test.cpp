// Round trip: the stub library's functions, a transport standing in for FastRPC, and the
// host-built libkestrel_skel.so with the fake DSP runtime behind it. The transport answers the
// fake FastRPC library's sessions and invocations (its minimal variant, so that the logging
// functions are the DSP runtime's); it moves every buffer through a separate DSP-side copy
// (pre-filled with junk) and copies output buffers back only when the skeleton succeeds, as the
// platform does.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fake_fastrpc.h"
#include "fake_hap.h"
#include "kestrel.h"
#include "kestrel_le.h"

#include "kestrel_skel.h"

extern "C" void check_case_setup(void);

namespace {

struct Transport {
    std::vector<uint32_t> scalars;
};
Transport g_transport;

constexpr uint8_t kJunk = 0xcc;

int transport_open(const char* name, remote_handle64* ph) {
    std::vector<uint8_t> uri(name, name + std::strlen(name) + 1);
    uint8_t len_word[4];
    kestrel_le_put_u32(len_word, static_cast<uint32_t>(uri.size()));
    remote_arg args[3];
    args[0].buf = {len_word, sizeof len_word};
    args[1].buf = {uri.data(), uri.size()};
    args[2].h64 = 0;
    g_transport.scalars.push_back(KESTREL_SCALARS_OPEN);
    int result = kestrel_skel_handle_invoke(0, KESTREL_SCALARS_OPEN, args);
    if (result == 0) {
        *ph = args[2].h64;
    }
    return result;
}

int transport_close(remote_handle64 h) {
    remote_arg arg;
    arg.h64 = h;
    g_transport.scalars.push_back(KESTREL_SCALARS_CLOSE);
    return kestrel_skel_handle_invoke(h, KESTREL_SCALARS_CLOSE, &arg);
}

int transport_invoke(remote_handle64 h, uint32_t scalars, remote_arg* pra) {
    g_transport.scalars.push_back(scalars);
    uint32_t in = remote_scalars_in_bufs(scalars);
    uint32_t count = remote_scalars_length(scalars);
    std::vector<std::vector<uint8_t>> copies(count);
    std::vector<remote_arg> dsp(count);
    for (uint32_t i = 0; i < count; ++i) {
        if (i < in + remote_scalars_out_bufs(scalars)) {
            auto* p = static_cast<uint8_t*>(pra[i].buf.pv);
            copies[i] = i < in ? std::vector<uint8_t>(p, p + pra[i].buf.nLen)
                               : std::vector<uint8_t>(pra[i].buf.nLen, kJunk);
            dsp[i].buf = {copies[i].data(), copies[i].size()};
        } else {
            dsp[i].h64 = pra[i].h64;
        }
    }
    int result = kestrel_skel_handle_invoke(h, scalars, count ? dsp.data() : nullptr);
    if (result == 0) {
        for (uint32_t i = in; i < in + remote_scalars_out_bufs(scalars); ++i) {
            std::memcpy(pra[i].buf.pv, copies[i].data(), copies[i].size());
        }
    }
    return result;
}

class RoundTrip : public fake_fastrpc::Test {
  protected:
    void SetUp() override {
        fake_fastrpc::Test::SetUp();
        check_case_setup();
        g_transport = Transport{};
        fake().open = transport_open;
        fake().close = transport_close;
        fake().invoke = transport_invoke;
        std::string uri = std::string(KESTREL_URI) + "cdsp";
        ASSERT_EQ(kestrel_open(uri.c_str(), &handle_), 0);
    }
    void TearDown() override {
        EXPECT_EQ(kestrel_close(handle_), 0);
        EXPECT_EQ(fake_hap.live_blocks, 0);
        EXPECT_EQ(fake_hap.free_invalid, 0);
    }
    remote_handle64 handle_ = 0;
};

TEST_F(RoundTrip, OpenGivesTheSkeletonsHandle) {
    EXPECT_NE(handle_, 0u);
    EXPECT_TRUE(fake_heap_is_live(reinterpret_cast<void*>(static_cast<uintptr_t>(handle_))));
    EXPECT_EQ(fake_hap.live_blocks, 1);
}

TEST_F(RoundTrip, SamplingSessionFieldsComeBackExactly) {
    ASSERT_EQ(kestrel_pmu_init(handle_), 0);
    EXPECT_EQ(fake_hap.pmu_registered.num_events, 3u);

    fake_hap.pmu_values[0] = 0x7fffffffu;
    fake_hap.pmu_values[1] = 0xfffffff0u;
    fake_hap.pmu_values[2] = 0x00c0ffeeu;
    fake_hap.utimer = 19200000ull * 86400ull;
    fake_hap.upcycle = 0x8123456789abcdefull;
    int32_t pkg = 0, hvx = 0, hmx = 0;
    int64_t timer = 0, pcycle = 0;
    ASSERT_EQ(kestrel_get_group_pmt_value(handle_, &pkg, &hvx, &hmx, &timer, &pcycle), 0);
    EXPECT_EQ(pkg, 0x7fffffff);
    EXPECT_EQ(hvx, -16);
    EXPECT_EQ(hmx, 0x00c0ffee);
    EXPECT_EQ(timer, 86400000000ll);
    EXPECT_EQ(static_cast<uint64_t>(pcycle), 0x8123456789abcdefull);

    fake_hap.utimer = 191;
    fake_hap.upcycle = 42;
    ASSERT_EQ(kestrel_get_legacy_perf_value(handle_, &timer, &pcycle), 0);
    EXPECT_EQ(timer, 9);
    EXPECT_EQ(pcycle, 42);

    fake_hap.clock_hz = 1804800000u;
    int32_t dsp_freq = 0, hmx_freq = 99;
    ASSERT_EQ(kestrel_get_dsp_current_freq(handle_, &dsp_freq, &hmx_freq), 0);
    EXPECT_EQ(dsp_freq, 1804800000);
    EXPECT_EQ(hmx_freq, 0);

    ASSERT_EQ(kestrel_pmu_deinit(handle_), 0);
    EXPECT_EQ(fake_hap.pmu_deregistered_id, 1u);

    std::vector<uint32_t> expected = {KESTREL_SCALARS_OPEN,
                                      KESTREL_SCALARS_PMU_INIT,
                                      KESTREL_SCALARS_GET_GROUP_PMT_VALUE,
                                      KESTREL_SCALARS_GET_LEGACY_PERF_VALUE,
                                      KESTREL_SCALARS_GET_DSP_CURRENT_FREQ,
                                      KESTREL_SCALARS_PMU_DEINIT};
    EXPECT_EQ(g_transport.scalars, expected);
}

TEST_F(RoundTrip, ServiceFailuresComeBackAsMinusOneWithOutputsKept) {
    fake_hap.pmu_read_result = 5;
    int32_t pkg = 1, hvx = 2, hmx = 3;
    int64_t timer = 4, pcycle = 5;
    EXPECT_EQ(kestrel_get_group_pmt_value(handle_, &pkg, &hvx, &hmx, &timer, &pcycle), -1);
    EXPECT_EQ(pkg, 1);
    EXPECT_EQ(hvx, 2);
    EXPECT_EQ(hmx, 3);
    EXPECT_EQ(timer, 4);
    EXPECT_EQ(pcycle, 5);

    fake_hap.power_get_result = 1;
    int32_t dsp_freq = 6, hmx_freq = 7;
    EXPECT_EQ(kestrel_get_dsp_current_freq(handle_, &dsp_freq, &hmx_freq), -1);
    EXPECT_EQ(dsp_freq, 6);
    EXPECT_EQ(hmx_freq, 7);

    fake_hap.pmu_register_result = 1;
    EXPECT_EQ(kestrel_pmu_init(handle_), -1);
}

}  // namespace
