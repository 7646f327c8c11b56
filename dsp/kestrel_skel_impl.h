/* Internal interface between the dispatcher and the service unit of the DSP library. None of
 * this is exported: the dispatcher calls these names so that its calls stay inside the library
 * even when a process has another library with the exported kestrel_ names loaded. */
#ifndef KESTREL_DSP_KESTREL_SKEL_IMPL_H
#define KESTREL_DSP_KESTREL_SKEL_IMPL_H

#include <stdint.h>

#include "fastrpc/remote_types.h"

#define SKEL_HIDDEN __attribute__((visibility("hidden")))

/* Contexts that can be open at once; an open beyond them fails as an exhausted heap does. */
#define SKEL_MAX_CONTEXTS 16

SKEL_HIDDEN int skel_open(const char* uri, remote_handle64* h);
SKEL_HIDDEN int skel_close(remote_handle64 h);
SKEL_HIDDEN int skel_get_legacy_perf_value(remote_handle64 h, int64_t* timer_cnt_us,
                                           int64_t* pcycle);
SKEL_HIDDEN int skel_pmu_init(remote_handle64 h);
SKEL_HIDDEN int skel_pmu_deinit(remote_handle64 h);
SKEL_HIDDEN int skel_get_group_pmt_value(remote_handle64 h, int32_t* pkg_cnt, int32_t* hvx_cnt,
                                         int32_t* hmx_cnt, int64_t* timer_cnt_us, int64_t* pcycle);
SKEL_HIDDEN int skel_get_dsp_current_freq(remote_handle64 h, int32_t* dsp_freq, int32_t* hmx_freq);

/* Converts UTIMER ticks (19.2 MHz) to microseconds: ticks * 10 / 192 in unsigned 64-bit
 * arithmetic. */
SKEL_HIDDEN uint64_t skel_timer_to_us(uint64_t ticks);

/* Size of the buffer a log record is formatted into, terminating NUL included. */
#define SERVICE_LOG_BUFFER_SIZE 256

/* Logs one record of the service under the source name "kestrel_skel_impl". */
SKEL_HIDDEN void service_log(int line, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

#endif
