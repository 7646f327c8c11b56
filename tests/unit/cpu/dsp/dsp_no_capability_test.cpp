// DSP queries on a platform library that has neither remote_handle_control nor
// remote_system_request (this program links only remote_session_control).
#include <gtest/gtest.h>

#include "cpu/dsp_utils.h"
#include "fake_fastrpc.h"
#include "test_util.h"

namespace {

using monitor_test::FakeSysfs;
using monitor_test::stdout_of;
using vorlix::kestrel::DspDomainArray;
using vorlix::kestrel::DspUtils;

class NoCapabilityTest : public testing::Test {
  protected:
    void SetUp() override {
        fake_fastrpc::reset();
        sysfs.set_soc_id("557\n");
    }
    FakeSysfs sysfs;
};

TEST_F(NoCapabilityTest, EntryPointsAreReallyAbsent) {
    EXPECT_EQ(&remote_handle_control, nullptr);
    EXPECT_EQ(&remote_system_request, nullptr);
}

TEST_F(NoCapabilityTest, DomainListFails) {
    DspDomainArray domains;
    std::string out =
        stdout_of([&] { EXPECT_EQ(DspUtils::fastrpc_get_dsp_domain_array(domains), -1); });
    EXPECT_EQ(out,
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
    unsigned arch = 0x55;
    int r = 0;
    EXPECT_EQ(stdout_of([&] { r = DspUtils::get_hex_arch_ver(3, &arch); }),
              "[ERROR] [KESTREL] remote_dsp_capability interface is not supported on this "
              "device\n");
    EXPECT_EQ(r, -1);
    EXPECT_EQ(arch, 0u);
}

TEST_F(NoCapabilityTest, SessionControlStillWorks) {
    EXPECT_EQ(DspUtils::try_enable_unsigned_pd(3), 0);
    ASSERT_EQ(fake_fastrpc::platform().session_calls.size(), 1u);
}

}  // namespace
