// kestrel on boards whose platform answers differ or fail: the --query_info report on every
// board and both collection paths, every failure the platform can produce, and platform answers
// that must not make kestrel read or allocate out of bounds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <ostream>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using e2e::all_lines;
using e2e::BoardRun;
using e2e::left_clean;
using e2e::lines_match;
using e2e::near;
using e2e::no_session;
using e2e::run_on_board;
using e2e::window;

std::string core_line(int n, const std::string& name, const std::string& id,
                      const std::string& card, const std::string& effect, const std::string& vtcm) {
    return "core[" + std::to_string(n) + "]: domain_name = " + name + ", domain_id = " + id +
           ", domain_type = FASTRPC_NSP(1), domain_card_no = " + card +
           ", domain_status = up, effect_id = " + effect + ", vtcm = " + vtcm + " (mb) \n";
}

const std::string kSm8650Report = "NSP has device = 1\nNSP[0] has core = 1\n" +
                                  core_line(0, "cdsp", "0x3", "0", "0x3", "8.000000");

// ---- --query_info ---------------------------------------------------------------------------

TEST(QueryInfo, EveryBuiltInBoard) {
    struct Case {
        const char* board;
        std::string report;
    } cases[] = {
        {"sm8650", kSm8650Report},
        {"sm8250", "NSP has device = 1\nNSP[0] has core = 1\n" +
                       core_line(0, "cdsp", "0x3", "0", "0x3", "0.250000")},
        {"qcs6490", "NSP has device = 1\nNSP[0] has core = 1\n" +
                        core_line(0, "cdsp", "0x3", "0", "0x3", "0.250000")},
        {"qcs9075", "NSP has device = 2\nNSP[0] has core = 1\n" +
                        core_line(0, "cdsp", "0x3", "0", "0x3", "8.000000") +
                        "NSP[1] has core = 1\n" +
                        core_line(0, "cdsp1", "0x4", "0", "0x4", "8.000000")},
        {"sa8797p", "NSP has device = 1\nNSP[0] has core = 4\n" +
                        core_line(0, "nsp0", "0x3", "0", "0x3", "-1.000000") +
                        core_line(1, "nsp1", "0x4", "0", "0x4", "-1.000000") +
                        core_line(2, "nsp2", "0x5", "1", "0xa", "-1.000000") +
                        core_line(3, "nsp3", "0x6", "1", "0xb", "-1.000000")},
    };
    for (const auto& c : cases) {
        BoardRun run = run_on_board(c.board, {"--query_info"});
        EXPECT_EQ(run.result.exit_code, 0) << c.board;
        EXPECT_EQ(run.result.out, c.report) << c.board;
        EXPECT_EQ(run.result.err, "") << c.board;
        EXPECT_TRUE(no_session(run)) << c.board;
    }
}

TEST(QueryInfo, SystemRequestPathAsksForNspDomains) {
    BoardRun run = run_on_board("sm8650", {"--query_info"});
    auto requests = run.calls("remote_system_request");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0]["domains_null"], true);
    EXPECT_EQ(requests[0]["domain_type"], 1);
    EXPECT_EQ(requests[1]["max_domains"], 1);
    auto effective = run.calls("remote_session_control");
    ASSERT_EQ(effective.size(), 1u);
    EXPECT_EQ(effective[0]["req"], 14);
    EXPECT_EQ(effective[0]["domain_name"], "cdsp");
}

TEST(QueryInfo, CapabilityPathWithoutTheDomainList) {
    BoardRun run = run_on_board("fallback_sm8650.json", {"--query_info"});
    EXPECT_EQ(run.result.exit_code, 0);
    EXPECT_EQ(run.result.out, kSm8650Report);
    EXPECT_TRUE(run.calls("remote_system_request").empty());
    // Existence of domains 3 and 4; domain 4 is absent, so its unsigned-PD support is asked.
    auto caps = run.calls("remote_handle_control");
    ASSERT_GE(caps.size(), 3u);
    EXPECT_EQ(caps[0]["domain"], 3);
    EXPECT_EQ(caps[0]["attr"], 0);
    EXPECT_EQ(caps[1]["domain"], 4);
    EXPECT_EQ(caps[1]["attr"], 0);
    EXPECT_EQ(caps[2]["domain"], 4);
    EXPECT_EQ(caps[2]["attr"], 1);
}

TEST(QueryInfo, CapabilityPathFallsBackOnUnsignedPdSupport) {
    BoardRun run = run_on_board("fallback_unsigned_pd_only.json", {"--query_info"});
    EXPECT_EQ(run.result.exit_code, 0);
    EXPECT_EQ(run.result.out,
              "[ERROR] [KESTREL] FastRPC Capability API is not supported on this device\n"
              "[ERROR] [KESTREL] FastRPC Capability API is not supported on this device\n" +
                  kSm8650Report);
}

TEST(QueryInfo, NoCdsp) {
    BoardRun run = run_on_board("fallback_no_cdsp.json", {"--query_info"});
    EXPECT_EQ(run.result.exit_code, 0);
    EXPECT_EQ(run.result.out, "The device doesn't have cdsp.\nNSP has device = 0\n");
}

TEST(QueryInfo, FailingCoreQueriesLeaveUnknownValues) {
    BoardRun run = run_on_board("fault_core_queries.json", {"--query_info"});
    EXPECT_EQ(run.result.exit_code, 0);
    EXPECT_EQ(run.result.out,
              "[ERROR] [KESTREL] Error 0x1: failed to get effective domain id for cdsp, session "
              "id 0\n"
              "[ERROR] [KESTREL] FastRPC Capability API is not supported on this device\n"
              "[ERROR] [KESTREL] get_hex_arch_ver failed with Error 0x5\n"
              "NSP has device = 1\nNSP[0] has core = 1\n" +
                  core_line(0, "cdsp", "0x3", "0", "0xffffffff", "-1.000000"));
    // The queries went out with the unknown effective id.
    for (const auto& call : run.calls("remote_handle_control")) {
        EXPECT_EQ(call["domain"], 0xffffffffu);
    }
}

TEST(QueryInfo, StillPrintsWithoutTheSocIdFile) {
    const std::string open_failure =
        "[ERROR] [KESTREL] open soc_id file failure, error code = 2\n"
        "[ERROR] [KESTREL] get_cur_device_socid failure.\n";
    BoardRun run = run_on_board("soc_missing.json", {"--query_info"});
    EXPECT_EQ(run.result.exit_code, 0);
    // The VTCM and architecture queries need the SoC id; the report itself does not.
    EXPECT_EQ(run.result.out, open_failure + open_failure +
                                  "NSP has device = 1\nNSP[0] has core = 1\n" +
                                  core_line(0, "cdsp", "0x3", "0", "0x3", "-1.000000"));
}

// ---- Failures of the platform ---------------------------------------------------------------

struct FailureCase {
    const char* board;
    std::vector<std::string> args;
    std::string out;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.board;
    for (const auto& arg : c.args) {
        *os << ' ' << arg;
    }
}

class PlatformFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(PlatformFailure, ExactMessagesStatus255AndNothingLeftOpen) {
    const FailureCase& c = GetParam();
    BoardRun run = run_on_board(c.board, c.args);
    EXPECT_EQ(run.result.exit_code, 255);
    EXPECT_EQ(run.result.out, c.out);
    EXPECT_TRUE(left_clean(run));
    // Every session that was opened was closed again.
    std::size_t opened = 0;
    for (const auto& open : run.calls("remote_handle64_open")) {
        opened += open.value("result", -1) == 0 ? 1 : 0;
    }
    std::size_t closed = 0;
    for (const auto& close : run.calls("remote_handle64_close")) {
        closed += close.value("result", -1) == 0 ? 1 : 0;
    }
    EXPECT_EQ(opened, closed);
}

const std::vector<std::string> kAll{"--all", "--sample_time", "200"};

INSTANTIATE_TEST_SUITE_P(
    EveryRow, PlatformFailure,
    testing::Values(
        FailureCase{"fault_domain_count.json", kAll,
                    "[ERROR] [KESTREL] remote_system_request: query domain num failure, error "
                    "code = 27[ERROR] [KESTREL] fastrpc_get_dsp_domain_array\n"},
        FailureCase{"fault_domain_records.json", kAll,
                    "[ERROR] [KESTREL] remote_system_request: query domain prop failure, error "
                    "code = 80000402[ERROR] [KESTREL] fastrpc_get_dsp_domain_array\n"},
        FailureCase{"minimal_sm8650.json", kAll,
                    "[ERROR] [KESTREL] can't get dsp_info, not support api "
                    "remote_system_request/remote_handle_control[ERROR] [KESTREL] "
                    "fastrpc_get_dsp_domain_array\n"},
        FailureCase{"soc_unreadable.json", kAll,
                    "[ERROR] [KESTREL] read soc_id failure, error code = 21\n"
                    "[ERROR] [KESTREL] get_cur_device_socid failure.\n"
                    "[ERROR] [KESTREL] read soc_id failure, error code = 21\n"
                    "[ERROR] [KESTREL] get_cur_device_socid failure.\n"
                    "[ERROR] [KESTREL] read soc_id failure, error code = 21\n"
                    "[ERROR] [KESTREL] get_cur_device_socid failure.\n"},
        FailureCase{"fault_unsigned_pd.json", kAll,
                    "[ERROR] [KESTREL] ERROR 0x80000406: remote_session_control failed\n"},
        FailureCase{"fault_open.json", kAll,
                    "[ERROR] [KestrelStub] kestrel_open(): error code = 80000404\n"
                    "[ERROR] [KESTREL] kestrel_stub sample_initialize failure.\n\n"},
        // A DSP that is not up: no process starts for it.
        FailureCase{"remoteproc_offline.json", kAll,
                    "[ERROR] [KestrelStub] kestrel_open(): error code = 80000608\n"
                    "[ERROR] [KESTREL] kestrel_stub sample_initialize failure.\n\n"},
        FailureCase{"fault_pmu_register.json", kAll,
                    "[ERROR] [KestrelStub] kestrel_pmu_init(): error code = ffffffff\n"
                    "[ERROR] [KESTREL] kestrel_stub sample_initialize failure.\n\n"},
        FailureCase{"soc_missing.json", kAll,
                    "[ERROR] [KESTREL] open soc_id file failure, error code = 2\n"
                    "[ERROR] [KESTREL] get_cur_device_socid failure.\n"
                    "[ERROR] [KESTREL] open soc_id file failure, error code = 2\n"
                    "[ERROR] [KESTREL] get_cur_device_socid failure.\n"
                    "[ERROR] [KESTREL] open soc_id file failure, error code = 2\n"
                    "[ERROR] [KESTREL] get_cur_device_socid failure.\n"},
        FailureCase{"fault_first_reading.json", kAll,
                    "[ERROR] [KestrelStub] kestrel_get_group_pmt_value(1): error code = "
                    "ffffffff\n"
                    "[ERROR] [KESTREL] kestrel_stub sample_register failure.\n\n"},
        FailureCase{"fault_second_reading.json", kAll,
                    "[ERROR] [KestrelStub] kestrel_get_group_pmt_value(2): error code = "
                    "8000040e\n"
                    "[ERROR] [KESTREL] kestrel_stub sample_register failure.\n\n"},
        FailureCase{"fault_clock.json", kAll,
                    "[ERROR] [KestrelStub] kestrel_get_dsp_current_freq(): error code = "
                    "ffffffff\n"
                    "[ERROR] [KESTREL] kestrel_stub sample_register failure.\n\n"},
        FailureCase{"fault_legacy_reading.json",
                    {"--run_legacy", "--dsp", "--sample_time", "200"},
                    "[ERROR] [KestrelStub] kestrel_get_legacy_perf_value(2): error code = 7\n"
                    "[ERROR] [KESTREL] kestrel_stub sample_register_legacy failure.\n\n"},
        // Unsigned PD is requested on domain 3 although no CDSP was found.
        FailureCase{"fallback_no_cdsp.json", kAll,
                    "The device doesn't have cdsp.\n"
                    "[ERROR] [KESTREL] ERROR 0x80000609: remote_session_control failed\n"},
        // A domain count no device has is refused before anything is allocated for it.
        FailureCase{"negative_count.json", kAll,
                    "[ERROR] [KESTREL] remote_system_request: invalid domain count -1\n"
                    "[ERROR] [KESTREL] fastrpc_get_dsp_domain_array\n"},
        FailureCase{"absurd_count.json", kAll,
                    "[ERROR] [KESTREL] remote_system_request: invalid domain count 2147483647\n"
                    "[ERROR] [KESTREL] fastrpc_get_dsp_domain_array\n"},
        // SA8797P takes the session's domain from the reported core, which must exist.
        FailureCase{"sa8797p_two_cores.json",
                    {"--all", "--cdsp_index", "2"},
                    "[ERROR] [KESTREL] Invalid cdsp_index 2, the platform reports 2 cdsp "
                    "core(s).\n\n"},
        FailureCase{"sa8797p_two_cores.json",
                    {"--all", "--cdsp_index", "4"},
                    "[ERROR] [KESTREL] Invalid cdsp_index 4, the platform reports 2 cdsp "
                    "core(s).\n\n"}),
    [](const testing::TestParamInfo<FailureCase>& param_info) {
        // The profile's name without ".json", made a valid test name, and the case number.
        std::string name = param_info.param.board;
        name = name.substr(0, name.find('.'));
        for (char& ch : name) {
            ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
        }
        return name + "_" + std::to_string(param_info.index);
    });

// A device node that only root and its group may use: kestrel samples as root, and as another
// user its open is refused, with the reason in the trace.
TEST(PlatformFailure, ADeviceNodeThisUserMayNotUseRefusesTheSession) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "running as another user needs root";
    }
    EXPECT_EQ(run_on_board("device_video_only.json", kAll).result.exit_code, 0);
    BoardRun run = e2e::run_as_user("nobody", "nogroup", "device_video_only.json", kAll);
    EXPECT_EQ(run.result.exit_code, 255);
    EXPECT_EQ(run.result.out,
              "[ERROR] [KestrelStub] kestrel_open(): error code = 8000060a\n"
              "[ERROR] [KESTREL] kestrel_stub sample_initialize failure.\n\n");
    const auto opens = run.calls("remote_handle64_open");
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0]["device"], "/dev/fastrpc-cdsp");
    EXPECT_EQ(opens[0]["device_error"], "Permission denied");
    EXPECT_TRUE(run.calls("dsp_start").empty());
    EXPECT_TRUE(left_clean(run));
}

// The board decides by the owner's bits for the owner, though the group's would refuse.
TEST(PlatformFailure, ADeviceNodeIsOpenedForItsOwnerByTheOwnersBits) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "running as another user needs root";
    }
    BoardRun run = e2e::run_as_user("nobody", "nogroup", "device_owner_only.json", kAll);
    EXPECT_EQ(run.result.exit_code, 0) << run.result.out;
}

TEST(PlatformFailure, FailedCloseIsReportedAfterTheSampleAndRetried) {
    BoardRun run = run_on_board("fault_close.json", {"--dsp", "--sample_time", "200"});
    EXPECT_EQ(run.result.exit_code, 255);
    EXPECT_TRUE(
        lines_match(run.result.out,
                    {"dsp current freq: 1000.000000 (MHz), current sample time(ms): " + window(200),
                     "qdsp6 utilization: " + near(45) + " (%)",
                     "[ERROR] [KestrelStub] kestrel_close(): error code = 3b",
                     "[ERROR] [KESTREL] kestrel_stub sample_finalize failure.", ""}));
    // The client's destruction closes the session that the failed call left open.
    EXPECT_EQ(run.calls("remote_handle64_close").size(), 2u);
    EXPECT_TRUE(left_clean(run));
}

TEST(PlatformFailure, FailedGroupReleaseIsTriedOnceMoreBeforeTheSessionCloses) {
    const std::string report_lines[] = {
        "dsp current freq: 1000.000000 (MHz), current sample time(ms): " + window(200),
        "hmx utilization: " + near(12) + " (%)"};
    const std::string failed_release =
        "[ERROR] [KestrelStub] kestrel_pmu_deinit(): error code = 2a";

    // The second try releases the group: the run succeeds.
    BoardRun once = run_on_board("fault_pmu_release.json", {"--hmx", "--sample_time", "200"});
    EXPECT_EQ(once.result.exit_code, 0);
    EXPECT_TRUE(lines_match(once.result.out, {report_lines[0], report_lines[1], failed_release}));
    EXPECT_EQ(once.invokes(4).size(), 2u);
    EXPECT_TRUE(left_clean(once));

    // A group that stays registered fails the run; the session is closed all the same.
    BoardRun always =
        run_on_board("fault_pmu_release_always.json", {"--hmx", "--sample_time", "200"});
    EXPECT_EQ(always.result.exit_code, 255);
    EXPECT_TRUE(lines_match(always.result.out,
                            {report_lines[0], report_lines[1], failed_release, failed_release,
                             "[ERROR] [KESTREL] kestrel_stub sample_finalize failure.", ""}));
    EXPECT_EQ(always.invokes(4).size(), 2u);
    EXPECT_EQ(always.calls("remote_handle64_close").size(), 1u);
    EXPECT_EQ(always.exit_line().value("open_sessions", -1), 0);
    EXPECT_EQ(always.exit_line().value("pmu_groups", -1), 1);
}

// ---- Platform answers that the run must survive ---------------------------------------------

TEST(PlatformAnswers, EmptyDomainListSamplesWithUnknownArchitecture) {
    BoardRun listed = run_on_board("unlisted_cdsp.json", {"--query_info"});
    EXPECT_EQ(listed.result.out, "NSP has device = 1\nNSP[0] has core = 0\n");

    BoardRun run = run_on_board("unlisted_cdsp.json", {"--all", "--sample_time", "200"});
    EXPECT_EQ(run.result.exit_code, 0);
    EXPECT_TRUE(lines_match(run.result.out, all_lines("V00", "1000.000000", 200, 45, 25, 12)));
    EXPECT_TRUE(left_clean(run));
}

TEST(PlatformAnswers, IndexPastTheFirstGroupOfAnOrdinarySocShowsNoOtherDspsVersion) {
    // Without the domain list each CDSP is a group of its own; cdsp1 is not the DSP sampled.
    BoardRun run = run_on_board("two_cdsps_no_list.json",
                                {"--all", "--sample_time", "200", "--cdsp_index", "1"});
    EXPECT_EQ(run.result.exit_code, 0);
    EXPECT_TRUE(lines_match(run.result.out, all_lines("V00", "1000.000000", 200, 45, 25, 12)));
    EXPECT_EQ(run.calls("remote_handle64_open").at(0)["uri"],
              "file:///libkestrel_skel.so?kestrel_skel_handle_invoke&_modver=1.0&_dom=cdsp");
}

TEST(PlatformAnswers, IndexBeyondTheCoresOfAnOrdinarySocIsIgnored) {
    BoardRun run = run_on_board("sm8650", {"--dsp", "--sample_time", "200", "--cdsp_index", "7"});
    EXPECT_EQ(run.result.exit_code, 0);
    EXPECT_TRUE(
        lines_match(run.result.out,
                    {"dsp current freq: 1000.000000 (MHz), current sample time(ms): " + window(200),
                     "qdsp6 utilization: " + near(45) + " (%)"}));
    EXPECT_EQ(run.calls("remote_handle64_open").at(0)["uri"],
              "file:///libkestrel_skel.so?kestrel_skel_handle_invoke&_modver=1.0&_dom=cdsp");
}

TEST(PlatformAnswers, NameFillingItsWholeFieldIsCutAt32Bytes) {
    const std::string name32 = "nsp0-with-a-name-longer-than-32-";
    BoardRun info = run_on_board("sa8797p_long_name.json", {"--query_info"});
    EXPECT_EQ(info.result.exit_code, 0);
    EXPECT_NE(info.result.out.find("core[3]: domain_name = " + name32 + ", domain_id = 0x3,"),
              std::string::npos)
        << info.result.out;
    auto effective = info.calls("remote_session_control");
    ASSERT_EQ(effective.size(), 4u);
    EXPECT_EQ(effective[3]["domain_name"], name32);
    EXPECT_EQ(effective[3]["domain_name_len"], 32);

    // The session is asked for under the 32 bytes the platform gave; this platform does not
    // know its core by that cut name and refuses it.
    BoardRun run = run_on_board("sa8797p_long_name.json",
                                {"--dsp", "--sample_time", "200", "--cdsp_index", "3"});
    EXPECT_EQ(run.result.exit_code, 255);
    EXPECT_EQ(run.result.out,
              "[ERROR] [KestrelStub] kestrel_open(): error code = 80000603\n"
              "[ERROR] [KESTREL] kestrel_stub sample_initialize failure.\n\n");
    EXPECT_EQ(run.calls("remote_handle64_open").at(0)["uri"],
              "file:///libkestrel_skel.so?kestrel_skel_handle_invoke&_modver=1.0&_dom=" + name32);
    EXPECT_TRUE(left_clean(run));
}

TEST(PlatformAnswers, StubLibraryWithoutAFunctionIsRefusedBeforeAnySession) {
    kestrel_test::ProcessOptions opts;
    // The preload reaches the runner's own programs too; in sanitizer builds they must accept
    // a library ahead of the sanitizer runtime.
    opts.env_set = {std::string("LD_PRELOAD=") + KESTREL_E2E_BROKEN_STUB,
                    "ASAN_OPTIONS=verify_asan_link_order=0"};
    BoardRun run = run_on_board("sm8650", {"--all"}, opts);
    EXPECT_EQ(run.result.exit_code, 255);
    EXPECT_EQ(run.result.out, std::string("[ERROR] [KestrelStub] dlsym(kestrel_pmu_deinit): ") +
                                  KESTREL_E2E_BROKEN_STUB +
                                  ": undefined symbol: kestrel_pmu_deinit\n"
                                  "[ERROR] [KESTREL] kestrel_stub init failure.\n\n");
    EXPECT_TRUE(no_session(run));
    // The unsigned PD is asked for only once the library is loaded.
    for (const auto& call : run.calls("remote_session_control")) {
        EXPECT_NE(call["req"], 2) << call.dump();
    }
}

}  // namespace
