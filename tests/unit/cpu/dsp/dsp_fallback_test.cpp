// The domain list on a platform library without remote_system_request: the CDSPs are counted
// through capability queries (this program links the fake FastRPC library without it).
#include <gtest/gtest.h>

#include <cstring>

#include "dsp_query_test.h"

namespace dsp_query_test {
namespace {

class FallbackTest : public DspQueryTest {
  protected:
    // Answers of the existence query (attribute 0) and the unsigned-PD query (attribute 1) per
    // CDSP; VTCM and architecture answers derive from the domain.
    void answer(int exist_result3, uint32_t exist3, int exist_result4, uint32_t exist4,
                uint32_t upd3 = 0, uint32_t upd4 = 0) {
        fake().capability = [=](uint32_t domain, uint32_t attribute, uint32_t* v) {
            switch (attribute) {
                case DOMAIN_SUPPORT:
                    *v = domain == 3 ? exist3 : exist4;
                    return domain == 3 ? exist_result3 : exist_result4;
                case UNSIGNED_PD_SUPPORT:
                    *v = domain == 3 ? upd3 : upd4;
                    return 0;
                case VTCM_PAGE:
                    *v = domain << 21;
                    return 0;
                default:
                    *v = 0x60 + domain;
                    return 0;
            }
        };
    }
};

void expect_cdsp_item(const DspInfoItem& item, uint32_t id, const char* name) {
    fastrpc_domain expected = make_domain(id, name);
    EXPECT_EQ(memcmp(&item.domain_info, &expected, sizeof(expected)), 0) << name;
    EXPECT_EQ(item.effect_id, static_cast<int32_t>(id));
    EXPECT_EQ(item.vtcm_size_mb, static_cast<float>(id * 2));
    EXPECT_EQ(item.hex_arch_ver, 0x60 + id);
}

TEST_F(FallbackTest, TwoCdspsGiveTwoGroupsOfOne) {
    answer(0, 1, 0, 1);
    DspDomainArray domains;
    EXPECT_EQ(domain_array_output(domains, 0), "");
    ASSERT_EQ(domains.size(), 2u);
    ASSERT_EQ(domains[0].size(), 1u);
    ASSERT_EQ(domains[1].size(), 1u);
    expect_cdsp_item(domains[0][0], 3, "cdsp");
    expect_cdsp_item(domains[1][0], 4, "cdsp1");
    // No session-control request in this path.
    EXPECT_TRUE(fake().session_calls.empty());
    std::string out = stdout_of([&] { print_dsp_info(domains); });
    EXPECT_EQ(out,
              "NSP has device = 2\n"
              "NSP[0] has core = 1\n"
              "core[0]: domain_name = cdsp, domain_id = 0x3, domain_type = FASTRPC_NSP(1), "
              "domain_card_no = 0, domain_status = up, effect_id = 0x3, vtcm = 6.000000 (mb) \n"
              "NSP[1] has core = 1\n"
              "core[0]: domain_name = cdsp1, domain_id = 0x4, domain_type = FASTRPC_NSP(1), "
              "domain_card_no = 0, domain_status = up, effect_id = 0x4, vtcm = 8.000000 (mb) \n");
}

TEST_F(FallbackTest, OneCdspAlwaysDescribesDomainThree) {
    answer(0, 0, 0, 1);  // only domain 4 answers
    DspDomainArray domains;
    EXPECT_EQ(DspUtils::fastrpc_get_dsp_domain_array(domains), 0);
    ASSERT_EQ(domains.size(), 1u);
    ASSERT_EQ(domains[0].size(), 1u);
    expect_cdsp_item(domains[0][0], 3, "cdsp");
}

TEST_F(FallbackTest, FailedExistenceQueryFallsBackOnUnsignedPdSupport) {
    answer(0x6c, 0, 0x33, 0, /*upd3=*/1, /*upd4=*/0);
    DspDomainArray domains;
    EXPECT_EQ(domain_array_output(domains, 0),
              "[ERROR] [KESTREL] FastRPC Capability API is not supported on this device\n"
              "[ERROR] [KESTREL] get_dsp_support failed with Error 0x33\n");
    ASSERT_EQ(domains.size(), 1u);
    expect_cdsp_item(domains[0].at(0), 3, "cdsp");
}

TEST_F(FallbackTest, ExistenceAnswerCountsOnlyOnSuccess) {
    // A nonzero value that comes with an error code does not count.
    answer(5, 1, 5, 1);
    DspDomainArray domains;
    EXPECT_EQ(domain_array_output(domains, 0),
              "[ERROR] [KESTREL] get_dsp_support failed with Error 0x5\n"
              "[ERROR] [KESTREL] get_dsp_support failed with Error 0x5\n"
              "The device doesn't have cdsp.\n");
    EXPECT_TRUE(domains.empty());
}

TEST_F(FallbackTest, NoCdspIsNotAFailure) {
    answer(0, 0, 0, 0);
    DspDomainArray domains;
    EXPECT_EQ(domain_array_output(domains, 0), "The device doesn't have cdsp.\n");
    EXPECT_TRUE(domains.empty());
    // Existence then unsigned-PD query for each of the two domains.
    ASSERT_EQ(fake().control_calls.size(), 4u);
    EXPECT_EQ(fake().control_calls[0].cap.domain, 3u);
    EXPECT_EQ(fake().control_calls[0].cap.attribute_ID, 0u);
    EXPECT_EQ(fake().control_calls[1].cap.attribute_ID, 1u);
    EXPECT_EQ(fake().control_calls[2].cap.domain, 4u);
    EXPECT_EQ(fake().control_calls[2].cap.attribute_ID, 0u);
}

}  // namespace
}  // namespace dsp_query_test
