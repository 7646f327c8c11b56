// DSP domain queries and the domain list, against a platform library that has every entry
// point (the full fake FastRPC library) and a fake sysfs for the SoC id.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <string>

#include "dsp_query_test.h"

namespace dsp_query_test {
namespace {

using DspUtilsTest = DspQueryTest;

// A platform that lists `domains` through the system request.
void list_domains(fake_fastrpc::Platform& p, std::vector<fastrpc_domain> domains) {
    p.system_request = [domains](system_req_payload* req) {
        req->num_domains = static_cast<int32_t>(domains.size());
        if (req->domains != nullptr) {
            for (std::size_t i = 0; i < domains.size() && i < req->max_domains; ++i) {
                req->domains[i] = domains[i];
            }
        }
        return 0;
    };
}

// ---- Unsigned PD ---------------------------------------------------------------------------

TEST_F(DspUtilsTest, EnableUnsignedPdSendsDomainAndEnable) {
    std::string out = stdout_of([] { EXPECT_EQ(DspUtils::try_enable_unsigned_pd(4), 0); });
    EXPECT_EQ(out, "");
    ASSERT_EQ(fake().session_calls.size(), 1u);
    const auto& call = fake().session_calls[0];
    EXPECT_EQ(call.req, 2u);
    EXPECT_EQ(call.datalen, 8u);
    EXPECT_EQ(call.domain, 4u);
    EXPECT_EQ(call.enable, 1u);
}

TEST_F(DspUtilsTest, EnableUnsignedPdFailsOnAnyNonzeroResult) {
    fake().unsigned_pd = [](uint32_t) { return static_cast<int>(0x80000406u); };
    std::string out = stdout_of([] { EXPECT_EQ(DspUtils::try_enable_unsigned_pd(3), -1); });
    EXPECT_EQ(out, "[ERROR] [KESTREL] ERROR 0x80000406: remote_session_control failed\n");
    fake().unsigned_pd = [](uint32_t) { return 1; };
    out = stdout_of([] { EXPECT_EQ(DspUtils::try_enable_unsigned_pd(3), -1); });
    EXPECT_EQ(out, "[ERROR] [KESTREL] ERROR 0x1: remote_session_control failed\n");
}

TEST_F(DspUtilsTest, UnsignedPdSupportNeedsExactlyOneAndASuccessfulQuery) {
    uint32_t value = 1;
    int result = 0;
    answer_capability(value, result);
    EXPECT_TRUE(DspUtils::check_unsignedpd_supported(3));
    ASSERT_EQ(fake().control_calls.size(), 1u);
    EXPECT_EQ(fake().control_calls[0].req, 2u);
    EXPECT_EQ(fake().control_calls[0].datalen, 12u);
    EXPECT_EQ(fake().control_calls[0].cap.domain, 3u);
    EXPECT_EQ(fake().control_calls[0].cap.attribute_ID, 1u);
    EXPECT_EQ(fake().control_calls[0].cap.capability, 0u);

    value = 2;
    EXPECT_EQ(stdout_of([] { EXPECT_FALSE(DspUtils::check_unsignedpd_supported(3)); }), "");

    value = 1;
    result = 0x1006c;  // low byte 108 with other bits set: still "not implemented"
    EXPECT_EQ(stdout_of([] { EXPECT_FALSE(DspUtils::check_unsignedpd_supported(3)); }),
              "[ERROR] [KESTREL] FastRPC Capability API is not supported on this device. Falling "
              "back to signed pd.\n");
    result = 0x12;
    EXPECT_EQ(stdout_of([] { EXPECT_FALSE(DspUtils::check_unsignedpd_supported(3)); }),
              "[ERROR] [KESTREL] ERROR 0x12: FastRPC Capability API failed. Falling back to "
              "signed pd.");
}

// ---- Effective domain id --------------------------------------------------------------------

TEST_F(DspUtilsTest, EffectiveDomainIdPassesNameLengthAndSession) {
    fake().effective_id = [](const std::string&, int32_t, uint32_t* id) {
        *id = 7;
        return 0;
    };
    char name[] = "cdsp";
    EXPECT_EQ(DspUtils::get_effective_domain_id(name, 0), 7);
    ASSERT_EQ(fake().session_calls.size(), 1u);
    const auto& call = fake().session_calls[0];
    EXPECT_EQ(call.req, 14u);
    EXPECT_EQ(call.datalen, 24u);
    EXPECT_EQ(call.name, "cdsp");
    EXPECT_EQ(call.name_len, 4u);
    EXPECT_EQ(call.session_id, 0);
    EXPECT_EQ(call.effective_in, 0u);
}

TEST_F(DspUtilsTest, EffectiveDomainIdFailureIsMinusOne) {
    fake().effective_id = [](const std::string&, int32_t, uint32_t* id) {
        *id = 9;
        return 0x4e;
    };
    char name[] = "cdsp1";
    int id = 0;
    std::string out = stdout_of([&] { id = DspUtils::get_effective_domain_id(name, 2); });
    EXPECT_EQ(id, -1);
    EXPECT_EQ(static_cast<unsigned>(id), 0xffffffffu);
    EXPECT_EQ(out,
              "[ERROR] [KESTREL] Error 0x4e: failed to get effective domain id for cdsp1, session "
              "id 2\n");
}

// ---- VTCM size ------------------------------------------------------------------------------

TEST_F(DspUtilsTest, VtcmSizeIsBytesOverOneMebibyte) {
    uint32_t bytes = 0;
    const int result = 0;
    answer_capability(bytes, result);
    bytes = 1u << 23;
    EXPECT_EQ(DspUtils::get_vtcm_size_mb(3), 8.0f);
    bytes = 1u << 18;
    EXPECT_EQ(DspUtils::get_vtcm_size_mb(3), 0.25f);
    bytes = 0;
    EXPECT_EQ(DspUtils::get_vtcm_size_mb(3), 0.0f);
    bytes = 0xffffffffu;  // unsigned, never a negative size
    EXPECT_EQ(DspUtils::get_vtcm_size_mb(3), 4096.0f);
    ASSERT_EQ(fake().control_calls.size(), 4u);
    EXPECT_EQ(fake().control_calls[0].cap.domain, 3u);
    EXPECT_EQ(fake().control_calls[0].cap.attribute_ID, 4u);
}

TEST_F(DspUtilsTest, VtcmSizeFailuresGiveMinusOne) {
    const uint32_t bytes = 1u << 23;
    int result = 0x2006c;
    answer_capability(bytes, result);
    float mb = 0;
    EXPECT_EQ(stdout_of([&] { mb = DspUtils::get_vtcm_size_mb(3); }),
              "[ERROR] [KESTREL] FastRPC Capability API is not supported on this device\n");
    EXPECT_EQ(mb, -1.0f);
    result = 0x6d;
    EXPECT_EQ(stdout_of([&] { mb = DspUtils::get_vtcm_size_mb(3); }),
              "[ERROR] [KESTREL] get_vtcm_info failed with Error 0x6d\n");
    EXPECT_EQ(mb, -1.0f);
}

TEST_F(DspUtilsTest, ArchVersionKeepsOnlyTheLowByte) {
    uint32_t value = 0x68;
    const int result = 0;
    answer_capability(value, result);
    unsigned arch = 0x11;
    EXPECT_EQ(DspUtils::get_hex_arch_ver(4, &arch), 0);
    EXPECT_EQ(arch, 0x68u);
    value = 0xabcd73;
    EXPECT_EQ(DspUtils::get_hex_arch_ver(4, &arch), 0);
    EXPECT_EQ(arch, 0x73u);
    ASSERT_EQ(fake().control_calls.size(), 2u);
    EXPECT_EQ(fake().control_calls[1].cap.domain, 4u);
    EXPECT_EQ(fake().control_calls[1].cap.attribute_ID, 6u);
}

TEST_F(DspUtilsTest, ArchVersionFailuresLeaveZero) {
    const uint32_t value = 0x73;
    int result = 0x3006c;
    answer_capability(value, result);
    EXPECT_EQ(failed_arch_query_output(),
              "[ERROR] [KESTREL] FastRPC Capability API is not supported on this device, error "
              "code = 3006c");
    result = 5;
    EXPECT_EQ(failed_arch_query_output(),
              "[ERROR] [KESTREL] get_hex_arch_ver failed with Error 0x5\n");
}

TEST_F(DspUtilsTest, Sa8797pSkipsVtcmAndArchQueriesSilently) {
    sysfs.set_soc_id("690\n");
    unsigned arch = 0x55;
    float mb = 0;
    int r = -5;
    std::string out = stdout_of([&] {
        mb = DspUtils::get_vtcm_size_mb(3);
        r = DspUtils::get_hex_arch_ver(3, &arch);
    });
    EXPECT_EQ(out, "");
    EXPECT_EQ(mb, -1.0f);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(arch, 0x55u);
    EXPECT_TRUE(fake().control_calls.empty());
}

TEST_F(DspUtilsTest, UnreadableSocIdFailsVtcmAndArchBeforeAskingThePlatform) {
    sysfs.remove();
    unsigned arch = 0x55;
    float mb = 0;
    int r = 0;
    std::string out = stdout_of([&] {
        mb = DspUtils::get_vtcm_size_mb(3);
        r = DspUtils::get_hex_arch_ver(3, &arch);
    });
    EXPECT_EQ(out,
              "[ERROR] [KESTREL] open soc_id file failure, error code = 2\n"
              "[ERROR] [KESTREL] get_cur_device_socid failure.\n"
              "[ERROR] [KESTREL] open soc_id file failure, error code = 2\n"
              "[ERROR] [KESTREL] get_cur_device_socid failure.\n");
    EXPECT_EQ(mb, -1.0f);
    EXPECT_EQ(r, -1);
    EXPECT_EQ(arch, 0x55u);
    EXPECT_TRUE(fake().control_calls.empty());
}

TEST(DomainTypeNames, EveryTypeAndUnknownValues) {
    EXPECT_STREQ(DspUtils::fastrpc_domain_type_to_string(0), "FASTRPC_ALL_DOMAINS");
    EXPECT_STREQ(DspUtils::fastrpc_domain_type_to_string(1), "FASTRPC_NSP");
    EXPECT_STREQ(DspUtils::fastrpc_domain_type_to_string(2), "FASTRPC_LPASS");
    EXPECT_STREQ(DspUtils::fastrpc_domain_type_to_string(3), "FASTRPC_SDSP");
    EXPECT_STREQ(DspUtils::fastrpc_domain_type_to_string(4), "FASTRPC_MDSP");
    EXPECT_STREQ(DspUtils::fastrpc_domain_type_to_string(5), "FASTRPC_HPASS");
    EXPECT_STREQ(DspUtils::fastrpc_domain_type_to_string(6), "FASTRPC_UNKNOWN");
    EXPECT_STREQ(DspUtils::fastrpc_domain_type_to_string(-1), "FASTRPC_UNKNOWN");
}

// ---- Domain list through the system request -------------------------------------------------

TEST_F(DspUtilsTest, SystemRequestListsEveryNspCoreInOneGroup) {
    list_domains(fake(), {make_domain(3, "cdsp"), make_domain(4, "cdsp1"), make_domain(8, "cdsp2"),
                          make_domain(9, "cdsp3", 0)});
    const std::map<std::string, uint32_t> effective{
        {"cdsp", 3}, {"cdsp1", 4}, {"cdsp2", 10}, {"cdsp3", 11}};
    fake().effective_id = [&](const std::string& name, int32_t, uint32_t* id) {
        *id = effective.at(name);
        return 0;
    };
    fake().capability = [](uint32_t domain, uint32_t attribute, uint32_t* v) {
        *v = attribute == VTCM_PAGE ? domain << 20 : 0x100 + domain;
        return 0;
    };
    DspDomainArray domains;
    std::string out = domain_array_output(domains, 0);
    EXPECT_EQ(out, "");
    ASSERT_EQ(domains.size(), 1u);
    ASSERT_EQ(domains[0].size(), 4u);
    const char* names[] = {"cdsp", "cdsp1", "cdsp2", "cdsp3"};
    const int32_t ids[] = {3, 4, 10, 11};
    for (int i = 0; i < 4; ++i) {
        const DspInfoItem& item = domains[0][i];
        EXPECT_STREQ(item.domain_info.name, names[i]);
        EXPECT_EQ(item.effect_id, ids[i]);
        // The queries address the core by its effective id.
        EXPECT_EQ(item.vtcm_size_mb, static_cast<float>(ids[i]));
        EXPECT_EQ(item.hex_arch_ver, static_cast<uint32_t>(ids[i]));
    }
    EXPECT_EQ(domains[0][3].domain_info.status, 0u);

    ASSERT_EQ(fake().system_calls.size(), 2u);
    const auto& first = fake().system_calls[0].req;
    EXPECT_EQ(first.id, 0u);
    EXPECT_EQ(first.domains, nullptr);
    EXPECT_EQ(first.max_domains, 0u);
    EXPECT_EQ(first.domain_type, 1u);
    const auto& second = fake().system_calls[1].req;
    EXPECT_NE(second.domains, nullptr);
    EXPECT_EQ(second.max_domains, 4u);
    EXPECT_EQ(second.domain_type, 1u);
    for (const auto& call : fake().session_calls) {
        EXPECT_EQ(call.session_id, 0);
    }
}

TEST_F(DspUtilsTest, SystemRequestWithNoDomainGivesOneEmptyGroup) {
    list_domains(fake(), {});
    DspDomainArray domains;
    EXPECT_EQ(DspUtils::fastrpc_get_dsp_domain_array(domains), 0);
    ASSERT_EQ(domains.size(), 1u);
    EXPECT_TRUE(domains[0].empty());
    EXPECT_EQ(stdout_of([&] { EXPECT_EQ(print_dsp_info(domains), 0); }),
              "NSP has device = 1\nNSP[0] has core = 0\n");
}

TEST_F(DspUtilsTest, SystemRequestFailuresAppendNothing) {
    fake().system_request = [](system_req_payload*) { return 0x27; };
    DspDomainArray domains;
    std::string out = domain_array_output(domains, -1);
    EXPECT_EQ(out,
              "[ERROR] [KESTREL] remote_system_request: query domain num failure, error code = 27");
    EXPECT_TRUE(domains.empty());

    fake().system_request = [](system_req_payload* req) {
        req->num_domains = 2;
        return req->domains == nullptr ? 0 : static_cast<int>(0x80000402u);
    };
    out = domain_array_output(domains, -1);
    EXPECT_EQ(out,
              "[ERROR] [KESTREL] remote_system_request: query domain prop failure, error code = "
              "80000402");
    EXPECT_TRUE(domains.empty());
}

TEST_F(DspUtilsTest, NegativeOrAbsurdDomainCountIsRefusedBeforeAllocating) {
    for (int32_t count : {-1, -2147483647 - 1, 257, 1 << 30, 2147483647}) {
        fake_fastrpc::reset();
        fake().system_request = [count](system_req_payload* req) {
            req->num_domains = count;
            return 0;
        };
        DspDomainArray domains;
        std::string out = domain_array_output(domains, -1);
        EXPECT_EQ(out, "[ERROR] [KESTREL] remote_system_request: invalid domain count " +
                           std::to_string(count) + "\n");
        EXPECT_TRUE(domains.empty());
        EXPECT_EQ(fake().system_calls.size(), 1u) << count;
    }
}

TEST_F(DspUtilsTest, TheLargestDomainCountIsAccepted) {
    std::vector<fastrpc_domain> listed;
    for (uint32_t i = 0; i < static_cast<uint32_t>(vorlix::kestrel::kMaxPlatformDomains); ++i) {
        listed.push_back(make_domain(3 + i, "nsp"));
    }
    list_domains(fake(), listed);
    DspDomainArray domains;
    EXPECT_EQ(DspUtils::fastrpc_get_dsp_domain_array(domains), 0);
    ASSERT_EQ(domains.size(), 1u);
    EXPECT_EQ(domains[0].size(), 256u);
}

TEST_F(DspUtilsTest, SecondAnswerNeverReadsBeyondTheBuffer) {
    // The platform claims more domains on the second call than it was given room for, or a
    // negative count: only the records that fit are used.
    int32_t second_count = 1000;
    fake().system_request = [&](system_req_payload* req) {
        if (req->domains == nullptr) {
            req->num_domains = 2;
            return 0;
        }
        for (uint32_t i = 0; i < req->max_domains; ++i) {
            req->domains[i] = make_domain(3 + i, i == 0 ? "cdsp" : "cdsp1");
        }
        req->num_domains = second_count;
        return 0;
    };
    DspDomainArray domains;
    EXPECT_EQ(DspUtils::fastrpc_get_dsp_domain_array(domains), 0);
    ASSERT_EQ(domains.size(), 1u);
    EXPECT_EQ(domains[0].size(), 2u);

    second_count = -3;
    DspDomainArray again;
    EXPECT_EQ(DspUtils::fastrpc_get_dsp_domain_array(again), 0);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_TRUE(again[0].empty());
}

TEST_F(DspUtilsTest, NameWithoutNulIsReadOnlyWithinItsField) {
    fastrpc_domain d = make_domain(3, "");
    memset(d.name, 'N', sizeof(d.name));
    d.type = 0x41414141;  // bytes right behind the name, not part of it
    list_domains(fake(), {d});
    fake().effective_id = [](const std::string&, int32_t, uint32_t* id) {
        *id = 3;
        return 0;
    };
    DspDomainArray domains;
    ASSERT_EQ(DspUtils::fastrpc_get_dsp_domain_array(domains), 0);
    ASSERT_EQ(fake().session_calls.size(), 1u);
    const std::string name(32, 'N');
    EXPECT_EQ(fake().session_calls[0].name, name);
    EXPECT_EQ(fake().session_calls[0].name_len, 32u);
    ASSERT_EQ(domains[0].size(), 1u);
    // The record itself is kept byte for byte.
    EXPECT_EQ(memcmp(&domains[0][0].domain_info, &d, sizeof(d)), 0);
    EXPECT_EQ(vorlix::kestrel::domain_name_of(domains[0][0].domain_info), name);
    std::string out = stdout_of([&] { print_dsp_info(domains); });
    EXPECT_NE(out.find("domain_name = " + name + ", domain_id = 0x3,"), std::string::npos) << out;
}

TEST_F(DspUtilsTest, FailedEffectiveIdKeepsMinusOneAndQueriesWithIt) {
    list_domains(fake(), {make_domain(3, "cdsp")});
    fake().effective_id = [](const std::string&, int32_t, uint32_t*) { return 1; };
    fake().capability = [](uint32_t, uint32_t attribute, uint32_t* v) {
        *v = attribute == VTCM_PAGE ? 1u << 20 : 0x75;
        return 0;
    };
    DspDomainArray domains;
    std::string out = domain_array_output(domains, 0);
    EXPECT_EQ(out,
              "[ERROR] [KESTREL] Error 0x1: failed to get effective domain id for cdsp, session id "
              "0\n");
    ASSERT_EQ(domains.at(0).size(), 1u);
    EXPECT_EQ(domains[0][0].effect_id, -1);
    ASSERT_EQ(fake().control_calls.size(), 2u);
    EXPECT_EQ(fake().control_calls[0].cap.domain, 0xffffffffu);
    EXPECT_EQ(fake().control_calls[1].cap.domain, 0xffffffffu);
    out = stdout_of([&] { print_dsp_info(domains); });
    EXPECT_NE(out.find("effect_id = 0xffffffff, vtcm = 1.000000 (mb) \n"), std::string::npos)
        << out;
}

TEST_F(DspUtilsTest, Sa8797pCoresHaveUnknownVtcmAndArch) {
    sysfs.set_soc_id("690\n");
    list_domains(fake(), {make_domain(3, "cdsp"), make_domain(4, "cdsp1")});
    fake().effective_id = [](const std::string& name, int32_t, uint32_t* id) {
        *id = name == "cdsp" ? 3 : 4;
        return 0;
    };
    DspDomainArray domains;
    ASSERT_EQ(DspUtils::fastrpc_get_dsp_domain_array(domains), 0);
    ASSERT_EQ(domains.at(0).size(), 2u);
    for (const auto& item : domains[0]) {
        EXPECT_EQ(item.vtcm_size_mb, -1.0f);
        EXPECT_EQ(item.hex_arch_ver, 0u);
    }
    EXPECT_TRUE(fake().control_calls.empty());
}

// ---- Report ---------------------------------------------------------------------------------

TEST(PrintDspInfo, PrintsEveryGroupAndCoreExactly) {
    DspDomainArray domains(2);
    DspInfoItem a;
    memset(&a, 0, sizeof(a));
    a.domain_info = make_domain(3, "cdsp", 0);
    a.domain_info.card = 0x1a;
    a.effect_id = 3;
    a.vtcm_size_mb = 8.0f;
    a.hex_arch_ver = 0x73;
    DspInfoItem b = a;
    b.domain_info = make_domain(4, "cdsp1", 7);
    b.domain_info.type = 9;
    b.effect_id = -1;
    b.vtcm_size_mb = -1.0f;
    domains[0] = {a, b};
    DspInfoItem c = a;
    c.domain_info = make_domain(12, "cdsp2", 1);
    c.domain_info.type = FASTRPC_LPASS;
    c.vtcm_size_mb = 0.25f;
    domains[1] = {c};
    std::string out = stdout_of([&] { EXPECT_EQ(print_dsp_info(domains), 0); });
    EXPECT_EQ(out,
              "NSP has device = 2\n"
              "NSP[0] has core = 2\n"
              "core[0]: domain_name = cdsp, domain_id = 0x3, domain_type = FASTRPC_NSP(1), "
              "domain_card_no = 1a, domain_status = down, effect_id = 0x3, vtcm = 8.000000 (mb) \n"
              "core[1]: domain_name = cdsp1, domain_id = 0x4, domain_type = FASTRPC_UNKNOWN(9), "
              "domain_card_no = 0, domain_status = up, effect_id = 0xffffffff, vtcm = -1.000000 "
              "(mb) \n"
              "NSP[1] has core = 1\n"
              "core[0]: domain_name = cdsp2, domain_id = 0xc, domain_type = FASTRPC_LPASS(2), "
              "domain_card_no = 0, domain_status = up, effect_id = 0x3, vtcm = 0.250000 (mb) \n");
}

TEST(PrintDspInfo, EmptyArrayPrintsOnlyTheDeviceLine) {
    DspDomainArray domains;
    EXPECT_EQ(stdout_of([&] { EXPECT_EQ(print_dsp_info(domains), 0); }), "NSP has device = 0\n");
}

}  // namespace
}  // namespace dsp_query_test
