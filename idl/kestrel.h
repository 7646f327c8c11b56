/* The remote interface `kestrel` in C: method indices, scalars words, result codes, the module
 * URI and the seven functions. The stub library (application processor) and the DSP library
 * both export functions of these names and signatures; kestrel.idl describes the wire
 * layout. */
#ifndef KESTREL_IDL_KESTREL_H
#define KESTREL_IDL_KESTREL_H

#include <stdint.h>

#include "fastrpc/remote_types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KESTREL_EXPORT __attribute__((visibility("default")))

/* Module URI; the caller appends the FastRPC domain name ("cdsp", "cdsp1", ...). */
#define KESTREL_URI "file:///libkestrel_skel.so?kestrel_skel_handle_invoke&_modver=1.0&_dom="
/* The same URI without "&_dom=", as the DSP library exports it. */
#define KESTREL_SKEL_URI "file:///libkestrel_skel.so?kestrel_skel_handle_invoke&_modver=1.0"
#define KESTREL_QAIC_VERSION 10049u

enum kestrel_method {
    KESTREL_METHOD_OPEN = 0,
    KESTREL_METHOD_CLOSE = 1,
    KESTREL_METHOD_GET_LEGACY_PERF_VALUE = 2,
    KESTREL_METHOD_PMU_INIT = 3,
    KESTREL_METHOD_PMU_DEINIT = 4,
    KESTREL_METHOD_GET_GROUP_PMT_VALUE = 5,
    KESTREL_METHOD_GET_DSP_CURRENT_FREQ = 6,
    KESTREL_METHOD_COUNT = 7
};

/* Scalars word of every method (index, input buffers, output buffers, in/out handles). */
#define KESTREL_SCALARS_OPEN 0x00020001u
#define KESTREL_SCALARS_CLOSE 0x01000010u
#define KESTREL_SCALARS_GET_LEGACY_PERF_VALUE 0x02000100u
#define KESTREL_SCALARS_PMU_INIT 0x03000000u
#define KESTREL_SCALARS_PMU_DEINIT 0x04000000u
#define KESTREL_SCALARS_GET_GROUP_PMT_VALUE 0x05000100u
#define KESTREL_SCALARS_GET_DSP_CURRENT_FREQ 0x06000100u

/* The scalars words above in method order, as an array initialiser. */
#define KESTREL_SCALARS_BY_METHOD                                                           \
    {                                                                                       \
        KESTREL_SCALARS_OPEN, KESTREL_SCALARS_CLOSE, KESTREL_SCALARS_GET_LEGACY_PERF_VALUE, \
            KESTREL_SCALARS_PMU_INIT, KESTREL_SCALARS_PMU_DEINIT,                           \
            KESTREL_SCALARS_GET_GROUP_PMT_VALUE, KESTREL_SCALARS_GET_DSP_CURRENT_FREQ       \
    }

/* Output buffer sizes and field offsets. */
#define KESTREL_LEGACY_PERF_SIZE 16u
#define KESTREL_LEGACY_PERF_TIMER 0u
#define KESTREL_LEGACY_PERF_PCYCLE 8u

#define KESTREL_GROUP_PMT_SIZE 32u
#define KESTREL_GROUP_PMT_PKG 0u
#define KESTREL_GROUP_PMT_HVX 4u
#define KESTREL_GROUP_PMT_HMX 8u
/* bytes 12-15: alignment gap, neither written nor read */
#define KESTREL_GROUP_PMT_TIMER 16u
#define KESTREL_GROUP_PMT_PCYCLE 24u

#define KESTREL_FREQ_SIZE 8u
#define KESTREL_FREQ_DSP 0u
#define KESTREL_FREQ_HMX 4u

/* Results of the DSP side besides 0 and -1, as the 32-bit ints that cross: 0x8000040e (bad
 * parameter) and 0x80000414 (unsupported method). */
#define KESTREL_ERROR_BAD_PARAMETER (-0x7ffffbf2)
#define KESTREL_ERROR_UNSUPPORTED (-0x7ffffbec)

KESTREL_EXPORT int kestrel_open(const char* uri, remote_handle64* h);
KESTREL_EXPORT int kestrel_close(remote_handle64 h);
KESTREL_EXPORT int kestrel_get_legacy_perf_value(remote_handle64 h, int64_t* timer_cnt_us,
                                                 int64_t* pcycle);
KESTREL_EXPORT int kestrel_pmu_init(remote_handle64 h);
KESTREL_EXPORT int kestrel_pmu_deinit(remote_handle64 h);
KESTREL_EXPORT int kestrel_get_group_pmt_value(remote_handle64 h, int32_t* pkg_cnt,
                                               int32_t* hvx_cnt, int32_t* hmx_cnt,
                                               int64_t* timer_cnt_us, int64_t* pcycle);
KESTREL_EXPORT int kestrel_get_dsp_current_freq(remote_handle64 h, int32_t* dsp_freq,
                                                int32_t* hmx_freq);

#ifdef __cplusplus
}
#endif

#endif
