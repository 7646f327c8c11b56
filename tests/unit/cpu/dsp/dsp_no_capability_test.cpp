// DSP queries on a platform library that has neither remote_handle_control nor
// remote_system_request (this program links the fake FastRPC library without either).
#include <gtest/gtest.h>

#include "dsp_query_test.h"

namespace dsp_query_test {
namespace {

using NoCapabilityTest = DspQueryTest;

TEST_F(NoCapabilityTest, EntryPointsAreReallyAbsent) {
    EXPECT_EQ(&remote_handle_control, nullptr);
    EXPECT_EQ(&remote_system_request, nullptr);
}

TEST_F(NoCapabilityTest, DomainListFails) {
    DspDomainArray domains;
    EXPECT_EQ(domain_array_output(domains, -1),
              "[ERROR] [KESTREL] can't get dsp_info, not support api "
              "remote_system_request/remote_handle_control");
    EXPECT_TRUE(domains.empty());
}

TEST_F(NoCapabilityTest, CapabilityQueriesReportTheMissingInterface) {
    EXPECT_EQ(stdout_of([] { EXPECT_FALSE(DspUtils::check_unsignedpd_supported(3)); }),
              "[ERROR] [KESTREL] remote_dsp_capability interface is not supported on this device. "
              "Falling back to signed pd.\n");
    float mb = 0;
    EXPECT_EQ(stdout_of([&] { mb = DspUtils::get_vtcm_size_mb(3); }),
              "[ERROR] [KESTREL] remote_dsp_capability interface is not supported on this "
              "device\n");
    EXPECT_EQ(mb, -1.0f);
    EXPECT_EQ(failed_arch_query_output(),
              "[ERROR] [KESTREL] remote_dsp_capability interface is not supported on this "
              "device\n");
}

TEST_F(NoCapabilityTest, SessionControlStillWorks) {
    EXPECT_EQ(DspUtils::try_enable_unsigned_pd(3), 0);
    ASSERT_EQ(fake().session_calls.size(), 1u);
}

}  // namespace
}  // namespace dsp_query_test
