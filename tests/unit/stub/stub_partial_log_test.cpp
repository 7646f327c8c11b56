// The stub library in a process that has HAP_debug_runtime but not HAP_debug_v2 (this program
// links the fake FastRPC library without HAP_debug_v2): a failure is not logged, because the
// stub logs only when both are present.
#include <gtest/gtest.h>

#include "fake_fastrpc.h"
#include "kestrel.h"

namespace {

using StubWithPartialLogging = fake_fastrpc::Test;

TEST_F(StubWithPartialLogging, NothingIsLoggedWithoutHapDebugV2) {
    ASSERT_NE(&HAP_debug_runtime, nullptr);
    ASSERT_EQ(&HAP_debug_v2, nullptr);
    fake().on_invoke = [](uint8_t*, size_t) { return -1; };
    int32_t dsp = 4, hmx_freq = 5;
    EXPECT_EQ(kestrel_get_dsp_current_freq(9, &dsp, &hmx_freq), -1);
    EXPECT_EQ(kestrel_pmu_deinit(9), -1);
    EXPECT_TRUE(fake().runtime_logs.empty());
    EXPECT_EQ(dsp, 4);
    EXPECT_EQ(hmx_freq, 5);
}

}  // namespace
