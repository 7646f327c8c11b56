// The simulated platform end to end: real DSP host processes, the test DSP library and the
// real libkestrel_skel.so, the board's answers, faults, the trace and process isolation.
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "platform.h"
#include "sim_proto.h"
#include "sim_test_util.h"

using kestrel_sim::Platform;
using kestrel_sim::PlatformOptions;
using nlohmann::json;
using sim_test::calls;
using sim_test::read_trace;
using sim_test::TempDir;

namespace {

const char kBoard[] = R"({
  "domains": [
    {"name": "cdsp", "id": 3, "arch": "0x75", "vtcm_bytes": 8388608, "capabilities": {"9": 99},
     "clock_hz": 1000000000, "load": {"core": 45, "hvx": 25, "hmx": 12, "pcpp": 2.5}},
    {"name": "cdsp1", "id": 4, "effective_id": 12, "unsigned_pd": 0, "exists": 0,
     "type": 2, "status": 0, "card": 5}
  ]})";

std::string uri_for(const std::string& domain, const std::string& entry = "test_skel_invoke",
                    const std::string& file = "libsim_test_skel.so") {
    return "file:///" + file + "?" + entry + "&_modver=1.0&_dom=" + domain;
}

uint32_t sc(uint32_t method, uint32_t in, uint32_t out, uint32_t hin = 0, uint32_t hout = 0) {
    return remote_scalars_make(method, in, out, hin, hout);
}

bool alive(pid_t pid) {
    return ::waitpid(pid, nullptr, WNOHANG) == 0;
}

class SimPlatformTest : public ::testing::Test {
  protected:
    std::unique_ptr<Platform> make(const std::string& board_text,
                                   const std::string& library_path = SIM_TEST_SKEL_DIR) {
        PlatformOptions o;
        o.board = kestrel_sim::parse_board(json::parse(board_text), "test");
        o.trace_path = trace_path_;
        o.dsp_command = kestrel_sim::dsp_host_launcher();
        o.dsp_command.push_back(SIM_DSP_PROGRAM);
        o.library_path = library_path;
        // The board's device nodes, in a folder of the test's own, as the board's tree has them.
        o.device_root = dir_.file("root");
        for (const auto& d : o.board.domains) {
            if (d.device) {
                std::filesystem::create_directories(o.device_root + "/dev");
                sim_test::write_file(o.device_root + d.device->path, "");
            }
        }
        return std::make_unique<Platform>(std::move(o));
    }

    remote_handle64 open_ok(Platform& p, const std::string& domain = "cdsp") {
        remote_handle64 h = 0;
        EXPECT_EQ(p.open(uri_for(domain).c_str(), &h), 0);
        EXPECT_NE(h, 0u);
        return h;
    }

    int echo(Platform& p, remote_handle64 h, const std::string& in, std::string* out) {
        out->assign(in.size(), '\0');
        remote_arg args[2];
        args[0].buf = {const_cast<char*>(in.data()), in.size()};
        args[1].buf = {out->data(), out->size()};
        return p.invoke(h, sc(7, 1, 1), args);
    }

    int call_u32(Platform& p, remote_handle64 h, uint32_t method, uint32_t* value) {
        remote_arg arg;
        arg.buf = {value, sizeof *value};
        return p.invoke(h, sc(method, 0, 1), &arg);
    }

    std::vector<json> trace() { return read_trace(trace_path_); }

    TempDir dir_;
    std::string trace_path_ = dir_.file("trace.jsonl");
};

TEST_F(SimPlatformTest, OpenInvokeCloseThroughTheDspProcess) {
    auto p = make(kBoard);
    remote_handle64 h = open_ok(*p);
    std::string out;
    ASSERT_EQ(echo(*p, h, "abcdef", &out), 0);
    EXPECT_EQ(out, "fedcba");

    // Input and output handles travel both ways.
    std::string in = "xy";
    out.assign(2, '\0');
    remote_arg args[4];
    args[0].buf = {in.data(), 2};
    args[1].buf = {out.data(), 2};
    args[2].h64 = 0x1122334455667788ull;
    args[3].h64 = 0;
    ASSERT_EQ(p->invoke(h, sc(7, 1, 1, 1, 1), args), 0);
    EXPECT_EQ(out, "yx");
    EXPECT_EQ(args[3].h64, 0x1122334455667789ull);

    EXPECT_EQ(p->open_sessions(), 1u);
    EXPECT_EQ(p->close(h), 0);
    EXPECT_EQ(p->open_sessions(), 0u);
    EXPECT_EQ(p->close(h), SIM_ERR_BAD_HANDLE);
    EXPECT_EQ(echo(*p, h, "a", &out), SIM_ERR_BAD_HANDLE);
    p->shutdown();

    auto t = trace();
    auto opens = calls(t, "ap", "remote_handle64_open");
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0]["uri"], uri_for("cdsp"));
    EXPECT_EQ(opens[0]["domain"], "cdsp");
    EXPECT_EQ(opens[0]["library"], std::string(SIM_TEST_SKEL_DIR) + "/libsim_test_skel.so");
    EXPECT_EQ(opens[0]["handle"], h);
    EXPECT_EQ(opens[0]["result"], 0);
    // The skeleton saw method 0 with the URI, then method 7 twice, then method 1.
    auto dsp_invokes = calls(t, "dsp", "invoke");
    ASSERT_EQ(dsp_invokes.size(), 4u);
    EXPECT_EQ(dsp_invokes[0]["method"], 0);
    EXPECT_EQ(dsp_invokes[0]["scalars"], 0x00020001);
    EXPECT_EQ(dsp_invokes[3]["method"], 1);
    EXPECT_EQ(dsp_invokes[3]["scalars"], 0x01000010);
    auto invokes = calls(t, "ap", "remote_handle64_invoke");
    ASSERT_EQ(invokes.size(), 3u);
    EXPECT_EQ(invokes[0]["method"], 7);
    EXPECT_EQ(invokes[0]["in_lens"], json::array({6}));
    EXPECT_EQ(invokes[0]["out_lens"], json::array({6}));
    EXPECT_EQ(invokes[2]["result"], SIM_ERR_BAD_HANDLE);
    EXPECT_EQ(t.back(),
              json({{"side", "ap"}, {"call", "exit"}, {"open_sessions", 0}, {"pmu_groups", 0}}));
}

TEST_F(SimPlatformTest, OpenFailuresLeaveTheHandleUntouched) {
    TempDir other;
    sim_test::write_file(other.file("broken.so"), "not an ELF file");
    auto p = make(kBoard, std::string(SIM_TEST_SKEL_DIR) + ";" + other.path());
    struct Case {
        std::string uri;
        int result;
    } cases[] = {
        {"file:/libsim_test_skel.so?test_skel_invoke&_dom=cdsp", SIM_ERR_BAD_URI},
        {uri_for("adsp"), SIM_ERR_NO_DOMAIN},
        {uri_for("cdsp", "test_skel_invoke", "libabsent.so"), SIM_ERR_NO_LIBRARY},
        {uri_for("cdsp", "no_such_entry"), SIM_ERR_NO_ENTRY},
        {uri_for("cdsp", "test_skel_invoke", "broken.so"), SIM_ERR_LOAD},
    };
    for (const auto& c : cases) {
        remote_handle64 h = 0xdeadbeef;
        EXPECT_EQ(p->open(c.uri.c_str(), &h), c.result) << c.uri;
        EXPECT_EQ(h, 0xdeadbeefu) << c.uri;
    }
    remote_handle64 h;
    EXPECT_EQ(p->open(nullptr, &h), SIM_ERR_BAD_ARGS);
    EXPECT_EQ(p->open(uri_for("cdsp").c_str(), nullptr), SIM_ERR_BAD_ARGS);
    EXPECT_EQ(p->open_sessions(), 0u);
}

TEST_F(SimPlatformTest, SkeletonResultsPassUnchangedAndFailuresCopyNothingBack) {
    auto p = make(kBoard);
    remote_handle64 h = open_ok(*p);
    int32_t code = 0x1234;
    uint8_t out[4] = {1, 2, 3, 4};
    remote_arg args[2];
    args[0].buf = {&code, 4};
    args[1].buf = {out, 4};
    EXPECT_EQ(p->invoke(h, sc(8, 1, 1), args), 0x1234);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(out[3], 4);
    code = 0;
    EXPECT_EQ(p->invoke(h, sc(8, 1, 1), args), 0);
    EXPECT_EQ(out[0], 0xEE);

    // Bytes the skeleton does not write keep the caller's values, as in shared memory.
    uint8_t buf[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    remote_arg one;
    one.buf = {buf, sizeof buf};
    ASSERT_EQ(p->invoke(h, sc(13, 0, 1), &one), 0);
    EXPECT_EQ(buf[0], 0x5A);
    EXPECT_EQ(buf[1], 9);
    EXPECT_EQ(buf[7], 9);

    EXPECT_EQ(p->invoke(h, sc(31, 0, 0), nullptr), static_cast<int>(0x80000414u));
    EXPECT_EQ(p->invoke(h, sc(7, 1, 1), nullptr), SIM_ERR_BAD_ARGS);
    remote_arg null_buf[2];
    null_buf[0].buf = {nullptr, 4};
    null_buf[1].buf = {buf, 4};
    EXPECT_EQ(p->invoke(h, sc(7, 1, 1), null_buf), SIM_ERR_BAD_ARGS);
    EXPECT_EQ(p->close(h), 0);
}

TEST_F(SimPlatformTest, CapabilityAnswersComeFromTheBoard) {
    auto p = make(kBoard);
    auto query = [&](uint32_t domain, uint32_t attr, uint32_t* value) {
        remote_dsp_capability cap{domain, attr, 0xffffffffu};
        int r = p->handle_control(DSPRPC_GET_DSP_INFO, &cap, sizeof cap);
        *value = cap.capability;
        return r;
    };
    uint32_t v;
    ASSERT_EQ(query(3, DOMAIN_SUPPORT, &v), 0);
    EXPECT_EQ(v, 1u);
    ASSERT_EQ(query(3, UNSIGNED_PD_SUPPORT, &v), 0);
    EXPECT_EQ(v, 1u);
    ASSERT_EQ(query(3, VTCM_PAGE, &v), 0);
    EXPECT_EQ(v, 8388608u);
    ASSERT_EQ(query(3, ARCH_VER, &v), 0);
    EXPECT_EQ(v, 0x75u);
    ASSERT_EQ(query(3, 9, &v), 0);
    EXPECT_EQ(v, 99u);
    ASSERT_EQ(query(3, 5, &v), 0);
    EXPECT_EQ(v, 0u);
    ASSERT_EQ(query(4, DOMAIN_SUPPORT, &v), 0);
    EXPECT_EQ(v, 0u);
    ASSERT_EQ(query(12, UNSIGNED_PD_SUPPORT, &v), 0);  // effective id of cdsp1
    EXPECT_EQ(v, 0u);
    // A domain the board lacks: success, nothing supported.
    ASSERT_EQ(query(7, DOMAIN_SUPPORT, &v), 0);
    EXPECT_EQ(v, 0u);
    remote_dsp_capability cap{3, 0, 0};
    EXPECT_EQ(p->handle_control(1, &cap, sizeof cap) & 0xff, FASTRPC_UNSUPPORTED_API);
    EXPECT_EQ(p->handle_control(DSPRPC_GET_DSP_INFO, &cap, 8), SIM_ERR_BAD_ARGS);
    EXPECT_EQ(p->handle_control(DSPRPC_GET_DSP_INFO, nullptr, 12), SIM_ERR_BAD_ARGS);
}

TEST_F(SimPlatformTest, SessionControlRequests) {
    auto p = make(kBoard);
    remote_rpc_control_unsigned_module um{3, 1};
    EXPECT_EQ(p->session_control(FASTRPC_CONTROL_UNSIGNED_MODULE, &um, sizeof um), 0);
    um.domain = 4;  // no unsigned PD support there
    EXPECT_EQ(p->session_control(FASTRPC_CONTROL_UNSIGNED_MODULE, &um, sizeof um),
              SIM_ERR_NOT_ALLOWED);
    um.domain = 8;
    EXPECT_EQ(p->session_control(FASTRPC_CONTROL_UNSIGNED_MODULE, &um, sizeof um),
              SIM_ERR_NO_DOMAIN);

    char name[] = "cdsp1";
    remote_rpc_effective_domain_id eff{name, 5, 0, 0, 0};
    ASSERT_EQ(p->session_control(FASTRPC_GET_EFFECTIVE_DOMAIN_ID, &eff, sizeof eff), 0);
    EXPECT_EQ(eff.effective_domain_id, 12u);
    eff.domain_name_len = 4;  // "cdsp"
    eff.effective_domain_id = 0;
    ASSERT_EQ(p->session_control(FASTRPC_GET_EFFECTIVE_DOMAIN_ID, &eff, sizeof eff), 0);
    EXPECT_EQ(eff.effective_domain_id, 3u);
    char unknown[] = "gdsp";
    remote_rpc_effective_domain_id bad{unknown, 4, 0, 77, 0};
    EXPECT_EQ(p->session_control(FASTRPC_GET_EFFECTIVE_DOMAIN_ID, &bad, sizeof bad),
              SIM_ERR_NO_DOMAIN);
    EXPECT_EQ(bad.effective_domain_id, 77u);
    EXPECT_EQ(p->session_control(FASTRPC_GET_EFFECTIVE_DOMAIN_ID, &eff, 16), SIM_ERR_BAD_ARGS);
    EXPECT_EQ(p->session_control(99, &eff, sizeof eff), SIM_ERR_UNSUPPORTED);

    auto t = calls(trace(), "ap", "remote_session_control");
    ASSERT_GE(t.size(), 4u);
    EXPECT_EQ(t[3]["domain_name"], "cdsp1");
    EXPECT_EQ(t[3]["domain_name_len"], 5);
    EXPECT_EQ(t[3]["effective_domain_id"], 12);
}

TEST_F(SimPlatformTest, SystemRequestHonoursCapacityTypeFilterAndCountOverride) {
    auto p = make(R"({"domains": [
        {"name": "nsp0", "id": 3}, {"name": "adsp", "id": 0, "type": 2},
        {"name": "nsp1", "id": 4, "card": 1, "status": 0},
        {"name": "hidden", "id": 5, "listed": false},
        {"name": "a-name-of-exactly-32-bytes-long!", "id": 6},
        {"name": "a-name-longer-than-the-field-holds", "id": 7, "effective_id": 17}]})");
    system_req_payload req{};
    req.id = FASTRPC_GET_DOMAINS;
    req.domain_type = FASTRPC_NSP;
    ASSERT_EQ(p->system_request(&req), 0);
    EXPECT_EQ(req.num_domains, 4);

    // Room for two records only: two are written, the guard record stays as it was.
    fastrpc_domain recs[3];
    std::memset(recs, 0x77, sizeof recs);
    req.domains = recs;
    req.max_domains = 2;
    ASSERT_EQ(p->system_request(&req), 0);
    EXPECT_EQ(req.num_domains, 2);
    EXPECT_EQ(recs[0].id, 3u);
    EXPECT_STREQ(recs[0].name, "nsp0");
    EXPECT_EQ(recs[0].type, 1u);
    EXPECT_EQ(recs[0].status, 1u);
    EXPECT_EQ(recs[1].id, 4u);
    EXPECT_EQ(recs[1].card, 1u);
    EXPECT_EQ(recs[1].status, 0u);
    EXPECT_EQ(recs[1].reserved1[0], 0);
    EXPECT_EQ(recs[2].id, 0x77777777u);

    fastrpc_domain all[6];
    req.domains = all;
    req.max_domains = 6;
    req.domain_type = FASTRPC_ALL_DOMAINS;
    ASSERT_EQ(p->system_request(&req), 0);
    ASSERT_EQ(req.num_domains, 5);
    EXPECT_STREQ(all[1].name, "adsp");
    // Names of 32 bytes and more fill the field with no terminating NUL.
    EXPECT_EQ(std::memchr(all[3].name, '\0', sizeof all[3].name), nullptr);
    EXPECT_EQ(std::memchr(all[4].name, '\0', sizeof all[4].name), nullptr);
    remote_rpc_effective_domain_id eff{all[4].name, 32, 0, 0, 0};
    ASSERT_EQ(p->session_control(FASTRPC_GET_EFFECTIVE_DOMAIN_ID, &eff, sizeof eff), 0);
    EXPECT_EQ(eff.effective_domain_id, 17u);

    req.id = 3;
    EXPECT_EQ(p->system_request(&req), SIM_ERR_UNSUPPORTED);
    EXPECT_EQ(p->system_request(nullptr), SIM_ERR_BAD_ARGS);

    for (const char* count : {"-5", "1000000", "2147483647"}) {
        auto q = make(std::string(R"({"num_domains": )") + count +
                      R"(, "domains": [{"name": "cdsp", "id": 3}]})");
        system_req_payload r{};
        r.domain_type = FASTRPC_NSP;
        ASSERT_EQ(q->system_request(&r), 0);
        EXPECT_EQ(r.num_domains, std::stoi(count));
        fastrpc_domain one[2];
        std::memset(one, 0x55, sizeof one);
        r.domains = one;
        r.max_domains = 1;
        ASSERT_EQ(q->system_request(&r), 0);
        EXPECT_EQ(r.num_domains, std::stoi(count));
        EXPECT_STREQ(one[0].name, "cdsp");
        EXPECT_EQ(one[1].id, 0x55555555u);  // never beyond the capacity
    }
}

TEST_F(SimPlatformTest, ApplicationSideFaultsReplaceTheCallAtTheNthMatch) {
    auto p = make(R"({"domains": [{"name": "cdsp", "id": 3, "vtcm_bytes": 5}],
      "faults": [
        {"call": "remote_handle64_invoke", "method": 7, "nth": 2, "result": -1},
        {"call": "remote_handle_control", "attr": 4, "nth": 0, "result": "0x8000006c"},
        {"call": "remote_session_control", "request": 14, "nth": 1, "result": 5},
        {"call": "remote_system_request", "nth": 2, "result": 9},
        {"call": "remote_handle64_close", "nth": 1, "result": 3}]})");
    remote_handle64 h = open_ok(*p);
    std::string out;
    EXPECT_EQ(echo(*p, h, "ab", &out), 0);
    uint32_t clock = 0;
    EXPECT_EQ(call_u32(*p, h, 12, &clock), 0);  // another method does not count
    EXPECT_EQ(echo(*p, h, "ab", &out), -1);
    EXPECT_EQ(echo(*p, h, "ab", &out), 0);

    remote_dsp_capability cap{3, VTCM_PAGE, 0};
    EXPECT_EQ(p->handle_control(DSPRPC_GET_DSP_INFO, &cap, 12), static_cast<int>(0x8000006cu));
    EXPECT_EQ(p->handle_control(DSPRPC_GET_DSP_INFO, &cap, 12), static_cast<int>(0x8000006cu));
    EXPECT_EQ(cap.capability, 0u);
    cap.attribute_ID = ARCH_VER;
    EXPECT_EQ(p->handle_control(DSPRPC_GET_DSP_INFO, &cap, 12), 0);

    char name[] = "cdsp";
    remote_rpc_effective_domain_id eff{name, 4, 0, 0, 0};
    EXPECT_EQ(p->session_control(FASTRPC_GET_EFFECTIVE_DOMAIN_ID, &eff, sizeof eff), 5);
    EXPECT_EQ(eff.effective_domain_id, 0u);
    EXPECT_EQ(p->session_control(FASTRPC_GET_EFFECTIVE_DOMAIN_ID, &eff, sizeof eff), 0);

    system_req_payload req{};
    EXPECT_EQ(p->system_request(&req), 0);
    EXPECT_EQ(p->system_request(&req), 9);

    // The injected close never reached the DSP: the session is still open at exit.
    EXPECT_EQ(p->close(h), 3);
    p->shutdown();
    auto t = trace();
    auto dsp_invokes = calls(t, "dsp", "invoke");
    size_t method7 = 0;
    for (const auto& l : dsp_invokes)
        method7 += l["method"] == 7 ? 1 : 0;
    EXPECT_EQ(method7, 2u);
    auto injected = 0;
    for (const auto& l : t)
        injected += l.value("injected", false) ? 1 : 0;
    EXPECT_EQ(injected, 6);
    EXPECT_EQ(t.back()["open_sessions"], 1);
}

TEST_F(SimPlatformTest, DspSideFaultsAndMissingRuntimeFunctions) {
    auto p = make(R"({"domains": [{"name": "cdsp", "id": 3, "clock_hz": 700000000,
        "pmu": false, "hap_debug_v2": false}],
      "faults": [{"call": "HAP_power_get", "nth": 2, "result": -9},
                 {"call": "__wrap_malloc", "nth": 2}]})");
    remote_handle64 h = open_ok(*p);  // first allocation
    uint32_t v = 0;
    ASSERT_EQ(call_u32(*p, h, 12, &v), 0);
    EXPECT_EQ(v, 700000000u);
    EXPECT_EQ(call_u32(*p, h, 12, &v), -9);
    ASSERT_EQ(call_u32(*p, h, 9, &v), 0);
    EXPECT_EQ(v, 4u);  // only HAP_debug_runtime is there
    remote_handle64 second = 0;
    EXPECT_EQ(p->open(uri_for("cdsp").c_str(), &second), -1);  // its allocation fails
    EXPECT_EQ(second, 0u);
    uint8_t sample[32] = {};
    remote_arg arg;
    arg.buf = {sample, sizeof sample};
    EXPECT_EQ(p->invoke(h, sc(11, 0, 1), &arg), -1);  // no PMU functions

    auto q = make(R"({"domains": [{"name": "cdsp", "id": 3}]})");
    remote_handle64 hq = open_ok(*q);
    ASSERT_EQ(call_u32(*q, hq, 9, &v), 0);
    EXPECT_EQ(v, 7u);
}

TEST_F(SimPlatformTest, DspLogsGoToTheTrace) {
    auto p = make(kBoard);
    remote_handle64 h = open_ok(*p);
    char text[] = "hello";
    remote_arg arg;
    arg.buf = {text, sizeof text};
    ASSERT_EQ(p->invoke(h, sc(10, 1, 0), &arg), 0);
    auto t = trace();
    auto plain = calls(t, "dsp", "HAP_debug");
    ASSERT_EQ(plain.size(), 1u);
    EXPECT_EQ(plain[0]["message"], "hello");
    EXPECT_EQ(plain[0]["level"], 0x22);
    EXPECT_EQ(plain[0]["domain"], "cdsp");
    auto v2 = calls(t, "dsp", "HAP_debug_v2");
    ASSERT_EQ(v2.size(), 1u);
    EXPECT_EQ(v2[0]["message"], "v2 hello 42");
    auto rt = calls(t, "dsp", "HAP_debug_runtime");
    ASSERT_EQ(rt.size(), 1u);
    EXPECT_EQ(rt[0]["message"], "runtime hello ff");
    EXPECT_EQ(rt[0]["file"], "test_skel");
    EXPECT_EQ(rt[0]["line"], 3);
}

TEST_F(SimPlatformTest, ADspThatDiesMidSessionFailsEveryLaterCall) {
    auto p = make(R"({"domains": [{"name": "cdsp", "id": 3}],
      "faults": [{"call": "remote_handle64_invoke", "method": 7, "nth": 2, "crash": true}]})");
    remote_handle64 h = open_ok(*p);
    const pid_t pid = p->dsp_pids().at("cdsp");
    std::string out;
    EXPECT_EQ(echo(*p, h, "ab", &out), 0);
    EXPECT_EQ(echo(*p, h, "ab", &out), SIM_ERR_DSP_LOST);
    EXPECT_EQ(echo(*p, h, "ab", &out), SIM_ERR_DSP_LOST);
    remote_handle64 again = 0;
    EXPECT_EQ(p->open(uri_for("cdsp").c_str(), &again), SIM_ERR_DSP_LOST);
    EXPECT_TRUE(p->dsp_pids().empty());
    EXPECT_EQ(p->close(h), SIM_ERR_DSP_LOST);
    EXPECT_EQ(p->open_sessions(), 0u);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    auto crash = calls(trace(), "dsp", "crash");
    ASSERT_EQ(crash.size(), 1u);
    EXPECT_EQ(crash[0]["method"], 7);
}

TEST_F(SimPlatformTest, EachDomainHasItsOwnDspProcess) {
    auto p = make(R"({"domains": [{"name": "cdsp", "id": 3}, {"name": "cdsp1", "id": 4}]})");
    remote_handle64 a = open_ok(*p, "cdsp");
    remote_handle64 b = open_ok(*p, "cdsp1");
    remote_handle64 a2 = open_ok(*p, "cdsp");
    auto pids = p->dsp_pids();
    ASSERT_EQ(pids.size(), 2u);
    EXPECT_NE(pids["cdsp"], pids["cdsp1"]);
    auto opens = calls(trace(), "dsp", "invoke");
    ASSERT_EQ(opens.size(), 3u);
    EXPECT_EQ(opens[0]["domain"], "cdsp");
    EXPECT_EQ(opens[1]["domain"], "cdsp1");
    EXPECT_NE(a, a2);
    EXPECT_EQ(p->close(a), 0);
    EXPECT_EQ(p->close(b), 0);
    EXPECT_EQ(p->close(a2), 0);
}

TEST_F(SimPlatformTest, TheDspIgnoresSigintAndEndsWithTheApplicationSide) {
    auto p = make(kBoard);
    remote_handle64 h = open_ok(*p);
    const pid_t pid = p->dsp_pids().at("cdsp");
    ASSERT_EQ(::kill(pid, SIGINT), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(alive(pid));
    std::string out;
    EXPECT_EQ(echo(*p, h, "ok", &out), 0);
    EXPECT_EQ(out, "ko");
    // Shutting down closes the link; the DSP ends on its own (it is not killed: it exits 0).
    p->shutdown();
    int status = -1;
    EXPECT_EQ(::waitpid(pid, &status, WNOHANG), -1);  // already reaped by the shutdown
    EXPECT_EQ(calls(trace(), "ap", "exit").size(), 1u);
}

TEST_F(SimPlatformTest, ExitLineCountsOpenSessionsAndRegisteredGroups) {
    auto p = make(kBoard);
    remote_handle64 h = open_ok(*p);
    open_ok(*p);
    uint8_t sample[32] = {};
    remote_arg arg;
    arg.buf = {sample, sizeof sample};
    ASSERT_EQ(p->invoke(h, sc(11, 0, 1), &arg), 0);
    p->shutdown();
    p->shutdown();  // only once
    auto exits = calls(trace(), "ap", "exit");
    ASSERT_EQ(exits.size(), 1u);
    EXPECT_EQ(exits[0]["open_sessions"], 2);
    EXPECT_EQ(exits[0]["pmu_groups"], 1);
}

// The real DSP library through the platform: the monitor's formulas on two readings of
// method 5 and the clock of method 6 give back the board's figures.
TEST_F(SimPlatformTest, KestrelSkeletonReadingsGiveBackTheBoardLoads) {
    struct Core {
        const char* name;
        double core, hvx, hmx;
    };
    const Core cores[] = {{"nsp0", 45, 25, 12}, {"nsp2", 70, 40, 20}};
    auto p = make(R"({"domains": [
        {"name": "nsp0", "id": 3, "clock_hz": 1400000000,
         "load": {"core": 45, "hvx": 25, "hmx": 12, "pcpp": 2.5}},
        {"name": "nsp2", "id": 5, "clock_hz": 1400000000,
         "pmu_start": [4294967000, 4294967000, 4294967000],
         "load": {"core": 70, "hvx": 40, "hmx": 20, "pcpp": 3.0}}]})",
                  SIM_KESTREL_SKEL_DIR);
    for (const auto& c : cores) {
        remote_handle64 h = 0;
        const std::string uri = uri_for(c.name, "kestrel_skel_handle_invoke", "libkestrel_skel.so");
        ASSERT_EQ(p->open(uri.c_str(), &h), 0) << c.name;
        ASSERT_EQ(p->invoke(h, sc(3, 0, 0), nullptr), 0);
        uint8_t first[32] = {}, second[32] = {}, freq[8] = {};
        remote_arg arg;
        arg.buf = {first, sizeof first};
        ASSERT_EQ(p->invoke(h, sc(5, 0, 1), &arg), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        arg.buf = {second, sizeof second};
        ASSERT_EQ(p->invoke(h, sc(5, 0, 1), &arg), 0);
        arg.buf = {freq, sizeof freq};
        ASSERT_EQ(p->invoke(h, sc(6, 0, 1), &arg), 0);
        ASSERT_EQ(p->invoke(h, sc(4, 0, 0), nullptr), 0);
        ASSERT_EQ(p->close(h), 0);

        auto u32 = [](const uint8_t* b, int off) {
            uint32_t v;
            std::memcpy(&v, b + off, 4);
            return v;
        };
        auto u64 = [](const uint8_t* b, int off) {
            uint64_t v;
            std::memcpy(&v, b + off, 8);
            return v;
        };
        const float ms = static_cast<float>(u64(second, 16) - u64(first, 16)) / 1000.0f;
        const float cycles = static_cast<float>(u64(second, 24) - u64(first, 24));
        const float pkts = static_cast<float>(u32(second, 0) - u32(first, 0));
        const float hvx = static_cast<float>(u32(second, 4) - u32(first, 4));
        const float hmx = static_cast<float>(u32(second, 8) - u32(first, 8));
        const float t = ms / 1000.0f;
        const float mhz = static_cast<float>(u32(freq, 0)) / 1000000.0f;
        const float load = (cycles / t) / 1000000.0f;
        const float pcpp = cycles / pkts;
        EXPECT_EQ(u32(freq, 0), 1400000000u);
        EXPECT_EQ(u32(freq, 4), 0u);
        EXPECT_NEAR((load * 100.0f) / mhz, c.core, 0.05) << c.name;
        EXPECT_NEAR((((hvx / t) / 1000000.0f) * 100.0f * pcpp) / load, c.hvx, 0.05) << c.name;
        EXPECT_NEAR((((hmx / t) / 1000000.0f) * 100.0f) / load, c.hmx, 0.05) << c.name;
    }
}

// A second close of the same DSP-side context reaches the real DSP library, which refuses it
// and frees nothing; the trace shows both closes.
TEST_F(SimPlatformTest, KestrelSkeletonRefusesASecondCloseOfItsContext) {
    auto p = make(kBoard, SIM_KESTREL_SKEL_DIR);
    remote_handle64 h = 0;
    ASSERT_EQ(
        p->open(uri_for("cdsp", "kestrel_skel_handle_invoke", "libkestrel_skel.so").c_str(), &h),
        0);
    // The DSP-side handle, as the skeleton receives it with every invocation.
    uint8_t perf[16] = {};
    remote_arg arg;
    arg.buf = {perf, sizeof perf};
    ASSERT_EQ(p->invoke(h, sc(2, 0, 1), &arg), 0);
    const auto before = calls(trace(), "dsp", "invoke");
    ASSERT_FALSE(before.empty());
    // Method 1 as an ordinary invocation closes the context while the session stays open, so
    // the session's close sends the same handle a second time.
    arg.h64 = before.back()["handle"].get<uint64_t>();
    ASSERT_EQ(p->invoke(h, sc(1, 0, 0, 1, 0), &arg), 0);
    EXPECT_EQ(p->close(h), static_cast<int>(0x8000040eu));
    p->shutdown();

    const auto t = trace();
    std::vector<json> closes;
    for (const auto& line : calls(t, "dsp", "invoke")) {
        if (line["method"] == 1)
            closes.push_back(line);
    }
    ASSERT_EQ(closes.size(), 2u);
    EXPECT_EQ(closes[0]["result"], 0);
    EXPECT_EQ(closes[1]["result"], static_cast<int>(0x8000040eu));
    const auto frees = calls(t, "dsp", "__wrap_free");
    ASSERT_EQ(frees.size(), 1u);
    EXPECT_EQ(frees[0]["result"], 0);
}

// A domain without a device node, or whose node is missing, is refused before its DSP starts,
// and the trace says why.
TEST_F(SimPlatformTest, OpenNeedsTheDomainsDeviceNode) {
    auto p = make(R"({"domains": [{"name": "cdsp", "id": 3, "device": null},
                                  {"name": "cdsp1", "id": 4}]})");
    std::filesystem::remove(dir_.file("root/dev/fastrpc-cdsp1"));
    remote_handle64 h = 0;
    EXPECT_EQ(p->open(uri_for("cdsp").c_str(), &h), static_cast<int>(0x8000060au));
    EXPECT_EQ(p->open(uri_for("cdsp1").c_str(), &h), static_cast<int>(0x8000060au));
    p->shutdown();
    const auto t = trace();
    const auto opens = calls(t, "ap", "remote_handle64_open");
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[0]["device"], nullptr);
    EXPECT_EQ(opens[0]["device_error"], "the domain has no device node");
    EXPECT_EQ(opens[1]["device"], "/dev/fastrpc-cdsp1");
    EXPECT_EQ(opens[1]["device_error"], "No such file or directory");
    EXPECT_TRUE(calls(t, "ap", "dsp_start").empty());
}

TEST_F(SimPlatformTest, ScriptedReadingsReachTheCallerExactly) {
    auto p = make(R"({"domains": [{"name": "cdsp", "id": 3,
        "script": {"utimer": [19200000, 38400000], "upcycle": [1000, 501000],
                   "pmu": [[10, 20, 30], [110, 70, 80]], "clock_hz": [123456789]}}]})",
                  SIM_KESTREL_SKEL_DIR);
    remote_handle64 h = 0;
    ASSERT_EQ(
        p->open(uri_for("cdsp", "kestrel_skel_handle_invoke", "libkestrel_skel.so").c_str(), &h),
        0);
    ASSERT_EQ(p->invoke(h, sc(3, 0, 0), nullptr), 0);
    uint8_t buf[32] = {};
    remote_arg arg;
    arg.buf = {buf, sizeof buf};
    ASSERT_EQ(p->invoke(h, sc(5, 0, 1), &arg), 0);
    ASSERT_EQ(p->invoke(h, sc(5, 0, 1), &arg), 0);
    uint32_t pkg;
    uint64_t timer_us, pcycle;
    std::memcpy(&pkg, buf, 4);
    std::memcpy(&timer_us, buf + 16, 8);
    std::memcpy(&pcycle, buf + 24, 8);
    EXPECT_EQ(pkg, 110u);
    EXPECT_EQ(timer_us, 2000000u);
    EXPECT_EQ(pcycle, 501000u);
    uint8_t freq[8] = {};
    arg.buf = {freq, sizeof freq};
    ASSERT_EQ(p->invoke(h, sc(6, 0, 1), &arg), 0);
    uint32_t hz;
    std::memcpy(&hz, freq, 4);
    EXPECT_EQ(hz, 123456789u);
    EXPECT_EQ(p->close(h), 0);
}

}  // namespace
