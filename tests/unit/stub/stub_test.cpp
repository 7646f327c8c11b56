// The stub library's marshalling, against the recording fake of FastRPC with every entry point,
// so that both optional logging functions are present.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "fake_fastrpc.h"
#include "kestrel.h"
#include "kestrel_le.h"

namespace {

using fake_fastrpc::InvokeCall;
using fake_fastrpc::LogCall;

constexpr remote_handle64 kHandle = 0x1234567890abcdefull;

// The output variables of every method, set to recognisable values before each call.
struct Outputs {
    int32_t pkg = 101, hvx = 102, hmx = 103, dsp_freq = 104, hmx_freq = 105;
    int64_t timer = 106, pcycle = 107;
    bool unchanged() const {
        return pkg == 101 && hvx == 102 && hmx == 103 && dsp_freq == 104 && hmx_freq == 105 &&
               timer == 106 && pcycle == 107;
    }
};

// One entry per marshalled method: how to call it, and what must cross.
struct Method {
    const char* name;
    int index;
    uint32_t scalars;
    size_t length;  // 0: no argument array
    const char* routine;
    int (*call)(Outputs&);
};

const Method kMethods[] = {
    {"get_legacy_perf_value", 2, 0x02000100u, 16, "_stub_method",
     [](Outputs& o) { return kestrel_get_legacy_perf_value(kHandle, &o.timer, &o.pcycle); }},
    {"pmu_init", 3, 0x03000000u, 0, "_stub_method_1",
     [](Outputs&) { return kestrel_pmu_init(kHandle); }},
    {"pmu_deinit", 4, 0x04000000u, 0, "_stub_method_1",
     [](Outputs&) { return kestrel_pmu_deinit(kHandle); }},
    {"get_group_pmt_value", 5, 0x05000100u, 32, "_stub_method_2",
     [](Outputs& o) {
         return kestrel_get_group_pmt_value(kHandle, &o.pkg, &o.hvx, &o.hmx, &o.timer, &o.pcycle);
     }},
    {"get_dsp_current_freq", 6, 0x06000100u, 8, "_stub_method_3",
     [](Outputs& o) { return kestrel_get_dsp_current_freq(kHandle, &o.dsp_freq, &o.hmx_freq); }},
};

using Stub = fake_fastrpc::Test;

TEST_F(Stub, OpenAndCloseAreHandedToFastrpcUnchanged) {
    const char* uri = KESTREL_URI "cdsp";
    remote_handle64 h = 0;
    fake().open_writes = 0xfeedface00000001ull;
    EXPECT_EQ(kestrel_open(uri, &h), 0);
    EXPECT_EQ(fake().open_uri, uri);
    EXPECT_EQ(fake().open_handle_ptr, &h);
    EXPECT_EQ(h, 0xfeedface00000001ull);

    fake().open_result = 0x27;
    EXPECT_EQ(kestrel_open(uri, &h), 0x27);
    fake().close_result = -1;
    EXPECT_EQ(kestrel_close(0x55), -1);
    EXPECT_EQ(fake().close_handle, 0x55u);
    EXPECT_TRUE(fake().invokes.empty());
    EXPECT_TRUE(fake().runtime_logs.empty());
}

TEST_F(Stub, EachMethodIsOneInvokeWithItsScalarsAndZeroedBuffer) {
    for (const Method& m : kMethods) {
        SCOPED_TRACE(m.name);
        fake_fastrpc::reset();
        Outputs out;
        ASSERT_EQ(m.call(out), 0);
        ASSERT_EQ(fake().invokes.size(), 1u);
        const InvokeCall& call = fake().invokes[0];
        EXPECT_EQ(call.handle, kHandle);
        EXPECT_EQ(call.scalars, m.scalars);
        EXPECT_EQ(remote_scalars_method(call.scalars), static_cast<uint32_t>(m.index));
        if (m.length == 0) {
            EXPECT_TRUE(call.args_null);
        } else {
            // One output buffer only, of the method's length, zeroed.
            EXPECT_EQ(remote_scalars_length(call.scalars), 1u);
            EXPECT_EQ(remote_scalars_out_bufs(call.scalars), 1u);
            EXPECT_FALSE(call.args_null);
            EXPECT_EQ(call.length, m.length);
            EXPECT_EQ(call.buffer_at_entry, std::vector<uint8_t>(m.length, 0));
        }
    }
}

TEST_F(Stub, LegacyPerfValueIsCopiedOutInParameterOrder) {
    fake().on_invoke = [](uint8_t* b, size_t) {
        kestrel_le_put_u64(b, 0x0102030405060708ull);
        kestrel_le_put_u64(b + 8, 0xf1f2f3f4f5f6f7f8ull);
        return 0;
    };
    Outputs o;
    ASSERT_EQ(kestrel_get_legacy_perf_value(kHandle, &o.timer, &o.pcycle), 0);
    EXPECT_EQ(o.timer, 0x0102030405060708ll);
    EXPECT_EQ(static_cast<uint64_t>(o.pcycle), 0xf1f2f3f4f5f6f7f8ull);
}

TEST_F(Stub, GroupValuesSkipTheGap) {
    fake().on_invoke = [](uint8_t* b, size_t) {
        kestrel_le_put_u32(b, 0x11121314u);
        kestrel_le_put_u32(b + 4, 0xfffffffeu);
        kestrel_le_put_u32(b + 8, 0x31323334u);
        kestrel_le_put_u32(b + 12, 0xeeeeeeeeu);  // the gap: junk that must not show anywhere
        kestrel_le_put_u64(b + 16, 0x4142434445464748ull);
        kestrel_le_put_u64(b + 24, 0x5152535455565758ull);
        return 0;
    };
    Outputs o;
    ASSERT_EQ(kestrel_get_group_pmt_value(kHandle, &o.pkg, &o.hvx, &o.hmx, &o.timer, &o.pcycle), 0);
    EXPECT_EQ(o.pkg, 0x11121314);
    EXPECT_EQ(o.hvx, -2);
    EXPECT_EQ(o.hmx, 0x31323334);
    EXPECT_EQ(o.timer, 0x4142434445464748ll);
    EXPECT_EQ(o.pcycle, 0x5152535455565758ll);
}

TEST_F(Stub, ClockAndZeroHmxFrequency) {
    fake().on_invoke = [](uint8_t* b, size_t) {
        kestrel_le_put_u32(b, 1804800000u);
        return 0;  // bytes 4-7 stay as the stub zeroed them
    };
    Outputs o;
    ASSERT_EQ(kestrel_get_dsp_current_freq(kHandle, &o.dsp_freq, &o.hmx_freq), 0);
    EXPECT_EQ(o.dsp_freq, 1804800000);
    EXPECT_EQ(o.hmx_freq, 0);
}

TEST_F(Stub, FailuresPassTheResultThroughAndWriteNothing) {
    for (const Method& m : kMethods) {
        for (int result : {KESTREL_ERROR_BAD_PARAMETER, KESTREL_ERROR_UNSUPPORTED, -1, 0x27}) {
            SCOPED_TRACE(std::string(m.name) + " " + std::to_string(result));
            fake_fastrpc::reset();
            // The transport may have written into the buffer before failing.
            fake().on_invoke = [result](uint8_t* b, size_t n) {
                if (b != nullptr) {
                    std::memset(b, 0x5a, n);
                }
                return result;
            };
            Outputs out;
            EXPECT_EQ(m.call(out), result);
            EXPECT_TRUE(out.unchanged());
        }
    }
}

TEST_F(Stub, FailureIsLoggedOnceWithTheRoutineName) {
    for (const Method& m : kMethods) {
        SCOPED_TRACE(m.name);
        fake_fastrpc::reset();
        fake().on_invoke = [](uint8_t*, size_t) { return KESTREL_ERROR_BAD_PARAMETER; };
        Outputs out;
        m.call(out);
        ASSERT_EQ(fake().runtime_logs.size(), 1u);
        const LogCall& log = fake().runtime_logs[0];
        EXPECT_EQ(log.level, 3);
        EXPECT_EQ(log.file, "kestrel_stub");
        EXPECT_GT(log.line, 0);
        EXPECT_EQ(log.format, "ERROR 0x%x: handle=0x%lx, scalar=0x%x, method ID=%d: %s failed\n");
        char scalars[16];
        std::snprintf(scalars, sizeof scalars, "%x", m.scalars);
        EXPECT_EQ(log.text, "ERROR 0x8000040e: handle=0x1234567890abcdef, scalar=0x" +
                                std::string(scalars) + ", method ID=" + std::to_string(m.index) +
                                ": " + m.routine + " failed\n");
        EXPECT_EQ(fake().v2_calls, 0);
    }
}

TEST_F(Stub, SuccessLogsNothing) {
    for (const Method& m : kMethods) {
        Outputs out;
        EXPECT_EQ(m.call(out), 0);
    }
    EXPECT_TRUE(fake().runtime_logs.empty());
}

}  // namespace
