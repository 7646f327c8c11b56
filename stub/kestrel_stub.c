/* libkestrel.so: the application-processor side of the remote interface `kestrel`. Each call
 * becomes one FastRPC invocation; open and close are handed to FastRPC's session functions.
 * The library keeps no state: every call packs into, and unpacks from, its own buffer. */
#include <stdint.h>
#include <string.h>

#include "fastrpc/fastrpc_client.h"
#include "kestrel.h"
#include "kestrel_le.h"

static const char kSourceName[] = "kestrel_stub";
static const char kFailureFormat[] =
    "ERROR 0x%x: handle=0x%lx, scalar=0x%x, method ID=%d: %s failed\n";

/* Logs a failed invocation, but only when the platform provides both logging functions. */
static void log_failure(int line, int result, remote_handle64 h, uint32_t scalars, int method,
                        const char* routine) {
    if (HAP_debug_runtime && HAP_debug_v2) {
        HAP_debug_runtime(HAP_LEVEL_ERROR, kSourceName, line, kFailureFormat, (unsigned)result,
                          (unsigned long)h, (unsigned)scalars, method, routine);
    }
}

/* Invokes a method whose only argument is one output buffer. The buffer is zeroed first so that
 * nothing of this frame leaks into what the transport sees. */
static int invoke_out(remote_handle64 h, uint32_t scalars, uint8_t* buf, size_t len) {
    remote_arg arg;
    memset(buf, 0, len);
    arg.buf.pv = buf;
    arg.buf.nLen = len;
    return remote_handle64_invoke(h, scalars, &arg);
}

/* Method 2. */
static int _stub_method(remote_handle64 h, uint32_t method, int64_t* out0, int64_t* out1) {
    uint8_t buf[KESTREL_LEGACY_PERF_SIZE];
    uint32_t scalars = remote_scalars_make(method, 0, 1, 0, 0);
    int result = invoke_out(h, scalars, buf, sizeof buf);
    if (result != 0) {
        log_failure(__LINE__, result, h, scalars, (int)method, "_stub_method");
        return result;
    }
    *out0 = (int64_t)kestrel_le_get_u64(buf + KESTREL_LEGACY_PERF_TIMER);
    *out1 = (int64_t)kestrel_le_get_u64(buf + KESTREL_LEGACY_PERF_PCYCLE);
    return 0;
}

/* Methods 3 and 4: no arguments at all. */
static int _stub_method_1(remote_handle64 h, uint32_t method) {
    uint32_t scalars = remote_scalars_make(method, 0, 0, 0, 0);
    int result = remote_handle64_invoke(h, scalars, NULL);
    if (result != 0) {
        log_failure(__LINE__, result, h, scalars, (int)method, "_stub_method_1");
    }
    return result;
}

/* Method 5. Bytes 12-15 of the buffer are an alignment gap and are not read. */
static int _stub_method_2(remote_handle64 h, uint32_t method, int32_t* out0, int32_t* out1,
                          int32_t* out2, int64_t* out3, int64_t* out4) {
    uint8_t buf[KESTREL_GROUP_PMT_SIZE];
    uint32_t scalars = remote_scalars_make(method, 0, 1, 0, 0);
    int result = invoke_out(h, scalars, buf, sizeof buf);
    if (result != 0) {
        log_failure(__LINE__, result, h, scalars, (int)method, "_stub_method_2");
        return result;
    }
    *out0 = (int32_t)kestrel_le_get_u32(buf + KESTREL_GROUP_PMT_PKG);
    *out1 = (int32_t)kestrel_le_get_u32(buf + KESTREL_GROUP_PMT_HVX);
    *out2 = (int32_t)kestrel_le_get_u32(buf + KESTREL_GROUP_PMT_HMX);
    *out3 = (int64_t)kestrel_le_get_u64(buf + KESTREL_GROUP_PMT_TIMER);
    *out4 = (int64_t)kestrel_le_get_u64(buf + KESTREL_GROUP_PMT_PCYCLE);
    return 0;
}

/* Method 6. */
static int _stub_method_3(remote_handle64 h, uint32_t method, int32_t* out0, int32_t* out1) {
    uint8_t buf[KESTREL_FREQ_SIZE];
    uint32_t scalars = remote_scalars_make(method, 0, 1, 0, 0);
    int result = invoke_out(h, scalars, buf, sizeof buf);
    if (result != 0) {
        log_failure(__LINE__, result, h, scalars, (int)method, "_stub_method_3");
        return result;
    }
    *out0 = (int32_t)kestrel_le_get_u32(buf + KESTREL_FREQ_DSP);
    *out1 = (int32_t)kestrel_le_get_u32(buf + KESTREL_FREQ_HMX);
    return 0;
}

KESTREL_EXPORT int kestrel_open(const char* uri, remote_handle64* h) {
    return remote_handle64_open(uri, h);
}

KESTREL_EXPORT int kestrel_close(remote_handle64 h) {
    return remote_handle64_close(h);
}

KESTREL_EXPORT int kestrel_get_legacy_perf_value(remote_handle64 h, int64_t* timer_cnt_us,
                                                 int64_t* pcycle) {
    return _stub_method(h, KESTREL_METHOD_GET_LEGACY_PERF_VALUE, timer_cnt_us, pcycle);
}

KESTREL_EXPORT int kestrel_pmu_init(remote_handle64 h) {
    return _stub_method_1(h, KESTREL_METHOD_PMU_INIT);
}

KESTREL_EXPORT int kestrel_pmu_deinit(remote_handle64 h) {
    return _stub_method_1(h, KESTREL_METHOD_PMU_DEINIT);
}

KESTREL_EXPORT int kestrel_get_group_pmt_value(remote_handle64 h, int32_t* pkg_cnt,
                                               int32_t* hvx_cnt, int32_t* hmx_cnt,
                                               int64_t* timer_cnt_us, int64_t* pcycle) {
    return _stub_method_2(h, KESTREL_METHOD_GET_GROUP_PMT_VALUE, pkg_cnt, hvx_cnt, hmx_cnt,
                          timer_cnt_us, pcycle);
}

KESTREL_EXPORT int kestrel_get_dsp_current_freq(remote_handle64 h, int32_t* dsp_freq,
                                                int32_t* hmx_freq) {
    return _stub_method_3(h, KESTREL_METHOD_GET_DSP_CURRENT_FREQ, dsp_freq, hmx_freq);
}
