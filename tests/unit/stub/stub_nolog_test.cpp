// The stub library in a process without the optional logging functions (this program links the
// minimal fake FastRPC library, so the library's weak references stay null): failures are
// returned, not logged, and nothing calls through a null function.
#include <gtest/gtest.h>

#include "fake_fastrpc.h"
#include "kestrel.h"

namespace {

using StubWithoutLogging = fake_fastrpc::Test;

TEST_F(StubWithoutLogging, FailuresAreReturnedWithoutLogging) {
    ASSERT_EQ(&HAP_debug_runtime, nullptr);
    ASSERT_EQ(&HAP_debug_v2, nullptr);
    fake().on_invoke = [](uint8_t*, size_t) { return KESTREL_ERROR_UNSUPPORTED; };

    int32_t pkg = 1, hvx = 2, hmx = 3, dsp = 4, hmx_freq = 5;
    int64_t timer = 6, pcycle = 7;
    EXPECT_EQ(kestrel_pmu_init(9), KESTREL_ERROR_UNSUPPORTED);
    EXPECT_EQ(kestrel_pmu_deinit(9), KESTREL_ERROR_UNSUPPORTED);
    EXPECT_EQ(kestrel_get_legacy_perf_value(9, &timer, &pcycle), KESTREL_ERROR_UNSUPPORTED);
    EXPECT_EQ(kestrel_get_group_pmt_value(9, &pkg, &hvx, &hmx, &timer, &pcycle),
              KESTREL_ERROR_UNSUPPORTED);
    EXPECT_EQ(kestrel_get_dsp_current_freq(9, &dsp, &hmx_freq), KESTREL_ERROR_UNSUPPORTED);
    EXPECT_EQ(fake().invokes.size(), 5u);
    EXPECT_EQ(pkg + hvx + hmx + dsp + hmx_freq, 15);
    EXPECT_EQ(timer, 6);
    EXPECT_EQ(pcycle, 7);
}

}  // namespace
