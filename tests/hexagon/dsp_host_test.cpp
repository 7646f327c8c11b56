// The virtual board's DSP host built for Hexagon and run under qemu-hexagon, driven over its
// framed protocol exactly as the simulated client library drives it, side by side with the
// host built for this machine: both must answer the same requests the same way.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "dsp_link.h"
#include "messages.h"
#include "fastrpc/remote_types.h"
#include "sim_proto.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

const char kEntry[] = "kestrel_skel_handle_invoke";
const char kUri[] = "file:///libkestrel_skel.so?kestrel_skel_handle_invoke&_modver=1.0&_dom=cdsp";

struct Host {
    const char* name;
    std::vector<std::string> argv;
};

void PrintTo(const Host& h, std::ostream* os) {
    *os << h.name;
}

std::vector<Host> hosts() {
    return {{"native", {SIM_DSP_PROGRAM}},
            {"hexagon", {"qemu-hexagon", "-cpu", "v67", SIM_DSP_HEXAGON_PROGRAM}}};
}

template <typename T>
T read_at(const Bytes& b, size_t off) {
    T v{};
    if (off + sizeof v <= b.size()) {
        std::memcpy(&v, b.data() + off, sizeof v);
    }
    return v;
}

// The configuration of a 1.2 GHz cdsp at 45/25/12 %, with `flags` and scripted readings.
Bytes make_config(uint32_t flags, const kestrel_sim::Script& s = {}) {
    kestrel_sim::Domain d;
    d.name = "cdsp";
    d.clock_hz = 1200000000u;
    d.load = {0.45, 0.25, 0.12, 1.0, {}, 0};
    d.script = s;
    return kestrel_sim::config_frame(d, flags | SIM_CFG_TRACE, {});
}

// One DSP process and the trace lines it sent.
class Dsp {
  public:
    Dsp(const Host& host, uint32_t flags, const kestrel_sim::Script& s = {}) {
        started_ = link_.start(host.argv, make_config(flags, s));
    }
    bool started() const { return started_; }

    // Sends a request; the reply, or an empty vector when the DSP is gone.
    Bytes request(const Bytes& frame) {
        Bytes reply;
        if (!link_.request(frame, &reply,
                           [this](const std::string& line) { trace_.push_back(line); })) {
            lost_ = true;
            return {};
        }
        return reply;
    }
    bool lost() const { return lost_; }

    // Opens a session on the library at `path`: the result, and the handle in *handle.
    int32_t open(const std::string& path, uint64_t* handle, const std::string& entry = kEntry) {
        const Bytes r = request(*kestrel_sim::open_frame(path, entry, kUri));
        EXPECT_EQ(r.size(), SIM_OPEN_REPLY_BYTES);
        sim_open_reply reply{};
        const bool read = kestrel_sim::read_reply(r, &reply);
        module_ = reply.module;
        *handle = reply.handle;
        return read ? reply.result : INT32_MIN;
    }

    // Invokes a method with at most one output buffer of `out_len` bytes (pre-filled with 0xee,
    // the caller's memory) and at most one input handle. The result; the buffer in *out.
    int32_t invoke(uint32_t method, uint64_t handle, uint32_t out_len, Bytes* out = nullptr,
                   bool in_handle = false, uint32_t flags = 0) {
        const uint32_t scalars =
            remote_scalars_make(method, 0, out_len != 0 ? 1 : 0, in_handle ? 1 : 0, 0);
        Bytes buffer(out_len, 0xee);
        remote_arg args[2];
        remote_arg* next = args;
        if (out_len != 0)
            (next++)->buf = {buffer.data(), buffer.size()};
        if (in_handle)
            (next++)->h64 = handle;
        const Bytes r =
            request(*kestrel_sim::invoke_frame({module_, scalars, handle, flags, 0}, args));
        if (r.size() < SIM_INVOKE_REPLY_BYTES)
            return INT32_MIN;
        const int32_t result = kestrel_sim::read_invoke_reply(r, scalars, args);
        if (out != nullptr && result == 0)
            *out = buffer;
        return result;
    }

    // PMU groups registered and heap blocks in use.
    std::pair<uint32_t, uint32_t> status() {
        const Bytes r = request(kestrel_sim::status_frame());
        EXPECT_EQ(r.size(), SIM_STATUS_REPLY_BYTES);
        sim_status_reply s{};
        kestrel_sim::read_reply(r, &s);
        return {s.pmu_groups, s.heap_blocks};
    }

    // The trace lines that name `call`.
    std::vector<std::string> calls(const std::string& call) const {
        std::vector<std::string> out;
        for (const auto& line : trace_) {
            if (line.find("\"call\": \"" + call + "\"") != std::string::npos)
                out.push_back(line);
        }
        return out;
    }

  private:
    kestrel_sim::DspLink link_;
    bool started_ = false;
    bool lost_ = false;
    uint32_t module_ = 0;
    std::vector<std::string> trace_;
};

class DspHost : public testing::TestWithParam<Host> {};

TEST(HexagonDspHost, ProgramExists) {
    // Without it every test below fails anyway; this says why.
    EXPECT_TRUE(fs::exists(SIM_DSP_HEXAGON_PROGRAM))
        << SIM_DSP_HEXAGON_PROGRAM << " is missing: build the hexagon preset first";
}

TEST_P(DspHost, SessionWithScriptedReadings) {
    kestrel_sim::Script s;
    s.utimer = {19200000u, 38400191u};
    s.upcycle = {5000u, 0x1234567890u};
    s.pmu = {{100u, 20u, 7u}, {0xfffffff0u, 0x80000000u, 9u}};
    Dsp dsp(GetParam(), SIM_CFG_PMU | SIM_CFG_DEBUG_V2 | SIM_CFG_DEBUG_RUNTIME, s);
    ASSERT_TRUE(dsp.started());
    uint64_t h = 0;
    ASSERT_EQ(dsp.open(SKEL_LIBRARY, &h), 0);
    EXPECT_NE(h, 0u);
    EXPECT_EQ(dsp.status(), std::make_pair(0u, 1u));  // the handle's heap block

    EXPECT_EQ(dsp.invoke(3, h, 0), 0);
    EXPECT_EQ(dsp.status(), std::make_pair(1u, 1u));

    Bytes out;
    ASSERT_EQ(dsp.invoke(5, h, 32, &out), 0);
    ASSERT_EQ(out.size(), 32u);
    EXPECT_EQ(read_at<int32_t>(out, 0), 100);
    EXPECT_EQ(read_at<int32_t>(out, 4), 20);
    EXPECT_EQ(read_at<int32_t>(out, 8), 7);
    EXPECT_EQ(read_at<uint32_t>(out, 12), 0xeeeeeeeeu);  // left as the caller had it
    EXPECT_EQ(read_at<int64_t>(out, 16), 1000000);       // 19.2 MHz ticks to microseconds
    EXPECT_EQ(read_at<int64_t>(out, 24), 5000);
    ASSERT_EQ(dsp.invoke(5, h, 32, &out), 0);
    EXPECT_EQ(read_at<uint32_t>(out, 0), 0xfffffff0u);
    EXPECT_EQ(read_at<uint32_t>(out, 4), 0x80000000u);
    EXPECT_EQ(read_at<int64_t>(out, 16), 2000009);  // 38400191 * 10 / 192, truncated
    EXPECT_EQ(read_at<int64_t>(out, 24), 0x1234567890);

    ASSERT_EQ(dsp.invoke(6, h, 8, &out), 0);
    ASSERT_EQ(out.size(), 8u);
    EXPECT_EQ(read_at<int32_t>(out, 0), 1200000000);
    EXPECT_EQ(read_at<int32_t>(out, 4), 0);
    // The power query's context was released again.
    EXPECT_EQ(dsp.status(), std::make_pair(1u, 1u));

    EXPECT_EQ(dsp.invoke(4, h, 0), 0);
    EXPECT_EQ(dsp.invoke(1, h, 0, nullptr, true), 0);
    EXPECT_EQ(dsp.status(), std::make_pair(0u, 0u));
    EXPECT_FALSE(dsp.lost());
}

TEST_P(DspHost, MalformedCallsGetTheSkeletonsAnswers) {
    Dsp dsp(GetParam(), SIM_CFG_PMU);
    ASSERT_TRUE(dsp.started());
    uint64_t h = 0;
    ASSERT_EQ(dsp.open(SKEL_LIBRARY, &h), 0);
    Bytes out;
    EXPECT_EQ(static_cast<uint32_t>(dsp.invoke(5, h, 24, &out)), 0x8000040eu);
    EXPECT_EQ(static_cast<uint32_t>(dsp.invoke(7, h, 0)), 0x80000414u);
    EXPECT_EQ(static_cast<uint32_t>(dsp.invoke(6, h, 0)), 0x8000040eu);
}

TEST_P(DspHost, LoadsOnlyTheLibraryFileAndEntryPoint) {
    Dsp dsp(GetParam(), SIM_CFG_PMU);
    ASSERT_TRUE(dsp.started());
    uint64_t h = 1;
    EXPECT_EQ(dsp.open("/nonexistent/libkestrel_skel.so", &h), SIM_ERR_LOAD);
    EXPECT_EQ(h, 0u);
    // A file that is not a library, under the library's name.
    const fs::path dir = fs::temp_directory_path() /
                         ("kestrel-hexagon-" + std::to_string(::getpid()) + "-" + GetParam().name);
    fs::create_directories(dir);
    std::ofstream(dir / "libkestrel_skel.so") << "not a library\n";
    EXPECT_EQ(dsp.open((dir / "libkestrel_skel.so").string(), &h), SIM_ERR_LOAD);
    fs::remove_all(dir);
    // An executable is not a library either.
    EXPECT_EQ(dsp.open(SIM_DSP_PROGRAM, &h), SIM_ERR_LOAD);
    EXPECT_EQ(dsp.open(SKEL_LIBRARY, &h, "kestrel_skel_other_entry"), SIM_ERR_NO_ENTRY);
    // Refusals leave nothing behind, and the right library still opens.
    EXPECT_EQ(dsp.status(), std::make_pair(0u, 0u));
    EXPECT_EQ(dsp.open(SKEL_LIBRARY, &h), 0);
    EXPECT_EQ(dsp.calls("load").size(), 5u);
}

TEST_P(DspHost, CrashFlagEndsTheProcess) {
    Dsp dsp(GetParam(), SIM_CFG_PMU);
    ASSERT_TRUE(dsp.started());
    uint64_t h = 0;
    ASSERT_EQ(dsp.open(SKEL_LIBRARY, &h), 0);
    EXPECT_EQ(dsp.invoke(3, h, 0, nullptr, false, SIM_INVOKE_CRASH), INT32_MIN);
    EXPECT_TRUE(dsp.lost());
    EXPECT_EQ(dsp.calls("crash").size(), 1u);
}

std::string host_name(const testing::TestParamInfo<Host>& param_info) {
    return param_info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Hosts, DspHost, testing::ValuesIn(hosts()), host_name);

// The optional runtime functions follow the board's configuration flags: without the PMU group
// functions registration and reads fail, and the failure is logged the way the library logs
// on such a DSP image (HAP_debug without HAP_debug_v2; HAP_debug_runtime when both optional
// logging functions exist; nothing with HAP_debug_v2 alone).
class OptionalFunctions : public testing::TestWithParam<std::tuple<Host, uint32_t>> {};

TEST_P(OptionalFunctions, FollowTheConfiguration) {
    const Host& host = std::get<0>(GetParam());
    const uint32_t flags = std::get<1>(GetParam());
    const bool pmu = (flags & SIM_CFG_PMU) != 0;
    const bool v2 = (flags & SIM_CFG_DEBUG_V2) != 0;
    const bool runtime = (flags & SIM_CFG_DEBUG_RUNTIME) != 0;
    Dsp dsp(host, flags);
    ASSERT_TRUE(dsp.started());
    uint64_t h = 0;
    ASSERT_EQ(dsp.open(SKEL_LIBRARY, &h), 0);
    EXPECT_EQ(dsp.invoke(3, h, 0), pmu ? 0 : -1);
    Bytes out;
    EXPECT_EQ(dsp.invoke(5, h, 32, &out), pmu ? 0 : -1);
    EXPECT_EQ(dsp.invoke(4, h, 0), pmu ? 0 : -1);
    // Method 2 needs no PMU functions.
    EXPECT_EQ(dsp.invoke(2, h, 16, &out), 0);

    const size_t failures = pmu ? 0u : 3u;
    const auto debug = dsp.calls("HAP_debug");
    const auto debug_runtime = dsp.calls("HAP_debug_runtime");
    EXPECT_EQ(debug.size(), v2 ? 0u : failures);
    EXPECT_EQ(debug_runtime.size(), v2 && runtime ? failures : 0u);
    EXPECT_TRUE(dsp.calls("HAP_debug_v2").empty());
    const auto& logged = v2 ? debug_runtime : debug;
    if (!logged.empty()) {
        EXPECT_NE(logged[0].find("\"message\": \"register pmu event failure.\""), std::string::npos)
            << logged[0];
        EXPECT_NE(logged[0].find("\"file\": \"kestrel_skel_impl\""), std::string::npos);
    }
    EXPECT_EQ(dsp.calls("__HAP_register_pmu_group").size(), pmu ? 1u : 0u);
}

std::string optional_name(const testing::TestParamInfo<std::tuple<Host, uint32_t>>& param_info) {
    const uint32_t flags = std::get<1>(param_info.param);
    std::string name = std::get<0>(param_info.param).name;
    name += (flags & SIM_CFG_PMU) ? "_pmu" : "_nopmu";
    name += (flags & SIM_CFG_DEBUG_V2) ? "_v2" : "";
    name += (flags & SIM_CFG_DEBUG_RUNTIME) ? "_runtime" : "";
    return name;
}

INSTANTIATE_TEST_SUITE_P(Combinations, OptionalFunctions,
                         testing::Combine(testing::ValuesIn(hosts()),
                                          testing::Values(0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u)),
                         optional_name);

}  // namespace
