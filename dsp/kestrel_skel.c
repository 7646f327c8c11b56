/* The skeleton of the DSP library: the entry point that FastRPC calls for every invocation on
 * the remote interface. It checks the scalars word and the argument array against the fixed
 * layout of the method, unpacks the arguments, calls the service and packs the outputs back,
 * byte by byte in little-endian order. It keeps no state. */
#include <stddef.h>
#include <stdint.h>

#include "fastrpc/remote_types.h"
#include "kestrel.h"
#include "kestrel_le.h"
#include "kestrel_skel.h"
#include "kestrel_skel_impl.h"

const char kestrel_skel_handle_invoke_uri[] = KESTREL_SKEL_URI;
const uint32_t kestrel_skel_handle_invoke_qaic_version = KESTREL_QAIC_VERSION;

/* True when the scalars word has exactly these counts of input buffers, output buffers, input
 * handles and output handles. */
static int counts_are(uint32_t sc, uint32_t in, uint32_t out, uint32_t in_h, uint32_t out_h) {
    return remote_scalars_in_bufs(sc) == in && remote_scalars_out_bufs(sc) == out &&
           remote_scalars_in_handles(sc) == in_h && remote_scalars_out_handles(sc) == out_h;
}

/* A buffer element that can hold at least min_len bytes. */
static int buffer_fits(const remote_arg* arg, size_t min_len) {
    return arg->buf.nLen >= min_len && arg->buf.pv != NULL;
}

/* Method 0: input buffer 0 holds the URI's length L (with its NUL), input buffer 1 the URI;
 * the new handle goes into the output-handle element. */
static int invoke_open(remote_arg* args) {
    const uint8_t* uri;
    uint32_t len;
    remote_handle64 handle = 0;
    int result;

    if (!buffer_fits(&args[0], 4)) {
        return KESTREL_ERROR_BAD_PARAMETER;
    }
    len = kestrel_le_get_u32((const uint8_t*)args[0].buf.pv);
    if (len == 0 || len > args[1].buf.nLen || args[1].buf.pv == NULL) {
        return KESTREL_ERROR_BAD_PARAMETER;
    }
    uri = (const uint8_t*)args[1].buf.pv;
    if (uri[len - 1] != 0) {
        return KESTREL_ERROR_BAD_PARAMETER;
    }
    result = skel_open((const char*)uri, &handle);
    if (result != 0) {
        return result;
    }
    kestrel_le_put_u64((uint8_t*)&args[2], handle);
    return 0;
}

static int invoke_legacy_perf(remote_handle64 h, remote_arg* out) {
    int64_t timer_cnt_us = 0;
    int64_t pcycle = 0;
    uint8_t* p;
    int result;

    if (!buffer_fits(out, KESTREL_LEGACY_PERF_SIZE)) {
        return KESTREL_ERROR_BAD_PARAMETER;
    }
    result = skel_get_legacy_perf_value(h, &timer_cnt_us, &pcycle);
    if (result != 0) {
        return result;
    }
    p = (uint8_t*)out->buf.pv;
    kestrel_le_put_u64(p + KESTREL_LEGACY_PERF_TIMER, (uint64_t)timer_cnt_us);
    kestrel_le_put_u64(p + KESTREL_LEGACY_PERF_PCYCLE, (uint64_t)pcycle);
    return 0;
}

static int invoke_group_pmt(remote_handle64 h, remote_arg* out) {
    int32_t pkg_cnt = 0;
    int32_t hvx_cnt = 0;
    int32_t hmx_cnt = 0;
    int64_t timer_cnt_us = 0;
    int64_t pcycle = 0;
    uint8_t* p;
    int result;

    if (!buffer_fits(out, KESTREL_GROUP_PMT_SIZE)) {
        return KESTREL_ERROR_BAD_PARAMETER;
    }
    result = skel_get_group_pmt_value(h, &pkg_cnt, &hvx_cnt, &hmx_cnt, &timer_cnt_us, &pcycle);
    if (result != 0) {
        return result;
    }
    /* Bytes 12-15 are the alignment gap and stay as they are. */
    p = (uint8_t*)out->buf.pv;
    kestrel_le_put_u32(p + KESTREL_GROUP_PMT_PKG, (uint32_t)pkg_cnt);
    kestrel_le_put_u32(p + KESTREL_GROUP_PMT_HVX, (uint32_t)hvx_cnt);
    kestrel_le_put_u32(p + KESTREL_GROUP_PMT_HMX, (uint32_t)hmx_cnt);
    kestrel_le_put_u64(p + KESTREL_GROUP_PMT_TIMER, (uint64_t)timer_cnt_us);
    kestrel_le_put_u64(p + KESTREL_GROUP_PMT_PCYCLE, (uint64_t)pcycle);
    return 0;
}

static int invoke_freq(remote_handle64 h, remote_arg* out) {
    int32_t dsp_freq = 0;
    int32_t hmx_freq = 0;
    uint8_t* p;
    int result;

    if (!buffer_fits(out, KESTREL_FREQ_SIZE)) {
        return KESTREL_ERROR_BAD_PARAMETER;
    }
    result = skel_get_dsp_current_freq(h, &dsp_freq, &hmx_freq);
    if (result != 0) {
        return result;
    }
    p = (uint8_t*)out->buf.pv;
    kestrel_le_put_u32(p + KESTREL_FREQ_DSP, (uint32_t)dsp_freq);
    kestrel_le_put_u32(p + KESTREL_FREQ_HMX, (uint32_t)hmx_freq);
    return 0;
}

int kestrel_skel_handle_invoke(remote_handle64 h, uint32_t scalars, remote_arg* args) {
    uint32_t method = remote_scalars_method(scalars);

    if (method >= KESTREL_METHOD_COUNT) {
        return KESTREL_ERROR_UNSUPPORTED;
    }
    /* Every method with arguments needs an array to find them in. */
    if (remote_scalars_length(scalars) != 0 && args == NULL) {
        return KESTREL_ERROR_BAD_PARAMETER;
    }
    switch (method) {
        case KESTREL_METHOD_OPEN:
            if (!counts_are(scalars, 2, 0, 0, 1)) {
                return KESTREL_ERROR_BAD_PARAMETER;
            }
            return invoke_open(args);
        case KESTREL_METHOD_CLOSE:
            if (!counts_are(scalars, 0, 0, 1, 0)) {
                return KESTREL_ERROR_BAD_PARAMETER;
            }
            return skel_close(args[0].h64);
        case KESTREL_METHOD_GET_LEGACY_PERF_VALUE:
            if (!counts_are(scalars, 0, 1, 0, 0)) {
                return KESTREL_ERROR_BAD_PARAMETER;
            }
            return invoke_legacy_perf(h, &args[0]);
        case KESTREL_METHOD_PMU_INIT:
            if (!counts_are(scalars, 0, 0, 0, 0)) {
                return KESTREL_ERROR_BAD_PARAMETER;
            }
            return skel_pmu_init(h);
        case KESTREL_METHOD_PMU_DEINIT:
            if (!counts_are(scalars, 0, 0, 0, 0)) {
                return KESTREL_ERROR_BAD_PARAMETER;
            }
            return skel_pmu_deinit(h);
        case KESTREL_METHOD_GET_GROUP_PMT_VALUE:
            if (!counts_are(scalars, 0, 1, 0, 0)) {
                return KESTREL_ERROR_BAD_PARAMETER;
            }
            return invoke_group_pmt(h, &args[0]);
        default: /* KESTREL_METHOD_GET_DSP_CURRENT_FREQ */
            if (!counts_are(scalars, 0, 1, 0, 0)) {
                return KESTREL_ERROR_BAD_PARAMETER;
            }
            return invoke_freq(h, &args[0]);
    }
}
