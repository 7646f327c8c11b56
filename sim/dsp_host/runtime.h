/* The DSP runtime stand-in of the virtual board: power, PMU group, logging and heap functions,
 * the UPCYCLE/UTIMER registers and the load model that drives them. Freestanding C: the same
 * code runs in the DSP host on this machine and in a Hexagon build under an emulator.
 *
 * The functions every DSP image has (HAP_power_set, HAP_power_get, HAP_debug, __wrap_malloc,
 * __wrap_free, dsp_read_upcycle, dsp_read_utimer) are defined here under their own names. The
 * optional ones (sim_options.h: the PMU group functions, HAP_debug_v2, HAP_debug_runtime) are
 * implemented under dsp_rt_* names and given their public names by small option objects that the
 * DSP host loads only when the board has them. */
#ifndef KESTREL_SIM_DSP_RUNTIME_H
#define KESTREL_SIM_DSP_RUNTIME_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#include "hexagon/hap_runtime.h"
#include "sim_proto.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Applies a configuration message (sim_config, faults, scripts). 0, or -1 when malformed.
 * `now_ns` is the moment the load model starts counting from. */
int dsp_rt_configure(const uint8_t* msg, uint32_t len, uint64_t now_ns);
uint32_t dsp_rt_flags(void);
const char* dsp_rt_domain(void);

/* Monotonic time of the request in progress: every register and counter read during one
 * request sees this instant, so that readings taken together are consistent. */
void dsp_rt_set_now(uint64_t now_ns);

/* The DSP's clients: programs whose work adds load to the core while they run (the board's
 * workloads), each a list of steps that follow one another from its start; a step of length 0
 * lasts until the client ends. Loads add up with the board's own. */
#define DSP_MAX_CLIENTS 32
#define DSP_MAX_CLIENT_STEPS 16
typedef struct dsp_client_step {
    uint64_t length_ns; /* 0: until the client ends */
    double core;        /* share of the clock the core is busy for it, 0..1 */
    double hvx;         /* share of its packets that are HVX packets */
    double hmx;         /* share of its busy cycles that HMX is active */
} dsp_client_step;
typedef struct dsp_client {
    int used;
    uint64_t start_ns; /* its steps start here */
    uint64_t from_ns; /* its load counts from here: its start, or the request before it was known */
    uint64_t end_ns;  /* its link closed; UINT64_MAX while open */
    uint32_t n_steps;
    dsp_client_step steps[DSP_MAX_CLIENT_STEPS];
} dsp_client;

/* A client that started at `start_ns` (monotonic clock) with these steps. Readings already taken
 * are not changed: its load counts from the later of its start and the request served last. Its
 * id, or -1 when the steps are malformed or DSP_MAX_CLIENTS clients are already known. */
int dsp_rt_client_begin(uint64_t start_ns, const dsp_client_step* steps, uint32_t n_steps);
/* The client's link closed at `now_ns`: its load ends there, or where its steps ended before. */
void dsp_rt_client_end(int id, uint64_t now_ns);

uint32_t dsp_rt_pmu_groups(void);
uint32_t dsp_rt_heap_blocks(void);

/* The optional functions. */
int dsp_rt_pmu_register(HAP_pmu_group_config_t* group);
int dsp_rt_pmu_read(HAP_pmu_group_config_t* group);
int dsp_rt_pmu_deregister(uint32_t group_id);
void dsp_rt_vlog(const char* call, int level, const char* file, int line, const char* format,
                 va_list ap);

/* Trace output: a JSON object builder for one line. */
typedef struct dsp_trace_line {
    char text[1024];
    uint32_t len;
    int overflow;
} dsp_trace_line;

int dsp_rt_tracing(void);
void dsp_trace_begin(dsp_trace_line* t, const char* call);
void dsp_trace_int(dsp_trace_line* t, const char* key, int64_t value);
void dsp_trace_uint(dsp_trace_line* t, const char* key, uint64_t value);
void dsp_trace_str(dsp_trace_line* t, const char* key, const char* value, uint32_t max_len);
void dsp_trace_raw(dsp_trace_line* t, const char* key, const char* json_text);
/* Closes the object and hands the line to dsp_host_trace. */
void dsp_trace_end(dsp_trace_line* t);

/* Provided by the DSP host: sends one trace line to the application side. */
void dsp_host_trace(const char* text, uint32_t len);

/* Formatting without a C library (d i u x X o c s p %, flags - 0 +, space, width, precision,
 * length hh h l ll z j t). Returns the length the full output would have, like vsnprintf. */
int dsp_vformat(char* buf, uint32_t size, const char* format, va_list ap);
int dsp_format(char* buf, uint32_t size, const char* format, ...);

/* Byte helpers without a C library. */
void dsp_copy(void* dst, const void* src, uint32_t n);
void dsp_fill(void* dst, int value, uint32_t n);
uint32_t dsp_strnlen(const char* s, uint32_t max);
int dsp_strcmp(const char* a, const char* b);

#ifdef __cplusplus
}
#endif

#endif
