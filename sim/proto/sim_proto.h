/* Framed protocol between the simulated FastRPC client library (application side) and the
 * simulated DSP host. Every message is a header (type, payload length) followed by the payload.
 * All fields are fixed-width little-endian integers or IEEE doubles, so a 32-bit DSP host (a
 * Hexagon build under an emulator) and the 64-bit application side read the same bytes.
 *
 * The structures below are the messages as a processor holds them; their bytes on the link are
 * written and read only by the encoders and decoders at the end of this file (sim_proto.c), one
 * of each per message, which both sides and the tests use. A message is built whole, header and
 * payload in one buffer, so that it leaves in one write.
 * Freestanding: only compiler-provided headers and the platform's own. */
#ifndef KESTREL_SIM_PROTO_H
#define KESTREL_SIM_PROTO_H

#include <stddef.h>
#include <stdint.h>

#include "fastrpc/remote_types.h"
#include "sim_calls.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    SIM_MSG_CONFIG = 1, /* AP -> DSP, first message: sim_config + faults + scripts; no reply */
    SIM_MSG_OPEN = 2,   /* AP -> DSP: sim_open_req + strings; reply sim_open_reply */
    SIM_MSG_INVOKE = 3, /* AP -> DSP: sim_invoke_req + arguments; reply result + data */
    SIM_MSG_STATUS = 4, /* AP -> DSP: no payload; reply sim_status_reply */
    SIM_MSG_REPLY = 64, /* DSP -> AP: the answer to the request in progress */
    SIM_MSG_TRACE = 65, /* DSP -> AP: one complete JSON trace line (without line end) */
};

/* Largest request payload; replies may add up to SIM_REPLY_EXTRA bytes. */
#define SIM_MAX_PAYLOAD (1u << 20)
#define SIM_REPLY_EXTRA 4096u

#define SIM_FRAME_HEADER_BYTES 8u

typedef struct sim_frame_header {
    uint32_t type;
    uint32_t length; /* payload bytes after the header */
} sim_frame_header;

/* Configuration flags: SIM_CFG_<FLAG> for each optional DSP runtime function of sim_options.h
 * (the DSP has it), bit n for the option at position n; SIM_CFG_OPTIONS is all of them. */
enum {
#define KESTREL_SIM_DSP_OPTION(key, FLAG, symbols) SIM_CFG_BIT_##FLAG,
#include "sim_options.h"
    SIM_DSP_OPTION_COUNT
};
enum {
#define KESTREL_SIM_DSP_OPTION(key, FLAG, symbols) SIM_CFG_##FLAG = 1u << SIM_CFG_BIT_##FLAG,
#include "sim_options.h"
    SIM_CFG_OPTIONS = (1u << SIM_DSP_OPTION_COUNT) - 1u
};
#define SIM_CFG_TRACE 0x80000000u /* send trace lines */

#define SIM_DOMAIN_NAME_BYTES 32
#define SIM_MAX_DSP_FAULTS 32
#define SIM_MAX_SCRIPT 1024
#define SIM_MAX_LOAD_STEPS 16

typedef struct sim_fault {
    uint32_t call; /* SIM_CALL_* of a DSP-side call (sim_calls.h) */
    uint32_t nth;  /* 1-based call number; 0 = every call */
    int32_t result;
    uint32_t reserved;
} sim_fault;

/* One step of a load that changes over time: the figures hold from at_ms into the period until
 * the next step's at_ms. */
typedef struct sim_load_step {
    uint32_t at_ms;
    uint32_t reserved;
    double core_load;
    double hvx_util;
    double hmx_util;
} sim_load_step;

/* On the link: the fields in this order, then n_faults fault records (their four fields), then
 * the scripts: n_utimer u64 values, n_upcycle u64 values, n_pmu triples of u32 values, n_clock
 * u32 values; then n_steps load steps (their five fields). */
typedef struct sim_config {
    uint32_t flags;
    uint32_t clock_hz;
    uint64_t upcycle_start;
    uint32_t pmu_start[3];
    uint32_t max_pmu_groups;
    double core_load;    /* fraction of the clock the core spends busy, 0..1 */
    double pcpp;         /* processor cycles per committed packet */
    double hvx_util;     /* fraction of committed packets that are HVX packets */
    double hmx_util;     /* fraction of processor cycles the HMX unit is active */
    uint32_t heap_bytes; /* size of the DSP heap */
    uint32_t n_faults;
    uint32_t n_utimer;
    uint32_t n_upcycle;
    uint32_t n_pmu;
    uint32_t n_clock;
    char domain[SIM_DOMAIN_NAME_BYTES]; /* NUL-terminated, for the trace */
    /* A load that changes: n_steps steps (the first at 0, each later one after the one before)
     * repeating every period_ms (after the last step's start), in place of the three figures
     * above. 0 steps: a steady load. */
    uint32_t n_steps;
    uint32_t period_ms;
} sim_config;

/* On the link: the three lengths (each with its NUL), a reserved word, then the library path,
 * the entry point name and the URI, each NUL-terminated. */
typedef struct sim_open_req {
    const char* path;
    const char* entry;
    const char* uri;
    uint32_t uri_len; /* with NUL */
} sim_open_req;

#define SIM_OPEN_REPLY_BYTES 16u

typedef struct sim_open_reply {
    int32_t result;
    uint32_t module; /* index of the loaded module, for later invocations */
    uint64_t handle; /* the skeleton's handle */
} sim_open_reply;

#define SIM_INVOKE_CRASH 0x1u /* the DSP dies on receiving this invocation */

/* On the link followed by: each input buffer as u32 length, u32 zero, bytes; each output buffer
 * as u32 length, u32 zero, the caller's current bytes (the DSP sees the caller's memory); each
 * input handle as u64. Every item starts at a multiple of 8 bytes from the payload start. */
typedef struct sim_invoke_req {
    uint32_t module;
    uint32_t scalars;
    uint64_t handle;
    uint32_t flags;
    uint32_t reserved;
} sim_invoke_req;

/* The reply: i32 result, u32 zero; on result 0 followed by each output buffer's bytes (8-byte
 * aligned items) and each output handle as u64. */
#define SIM_INVOKE_REPLY_BYTES 8u

#define SIM_STATUS_REPLY_BYTES 8u

typedef struct sim_status_reply {
    uint32_t pmu_groups;  /* PMU groups registered */
    uint32_t heap_blocks; /* heap blocks in use */
} sim_status_reply;

/* Results of the simulated platform itself (the skeleton's own results pass unchanged). */
#define SIM_ERR_BAD_ARGS (-0x7fffffff - 1 + 0x601)    /* null or malformed arguments */
#define SIM_ERR_BAD_URI (-0x7fffffff - 1 + 0x602)     /* URI not "file:///LIB?ENTRY...&_dom=NAME" */
#define SIM_ERR_NO_DOMAIN (-0x7fffffff - 1 + 0x603)   /* domain unknown on this board */
#define SIM_ERR_NO_LIBRARY (-0x7fffffff - 1 + 0x604)  /* library not found in ADSP_LIBRARY_PATH */
#define SIM_ERR_LOAD (-0x7fffffff - 1 + 0x605)        /* library failed to load on the DSP */
#define SIM_ERR_NO_ENTRY (-0x7fffffff - 1 + 0x606)    /* entry point not found in the library */
#define SIM_ERR_BAD_HANDLE (-0x7fffffff - 1 + 0x607)  /* handle not open */
#define SIM_ERR_DSP_LOST (-0x7fffffff - 1 + 0x608)    /* the DSP process died or failed to start */
#define SIM_ERR_NOT_ALLOWED (-0x7fffffff - 1 + 0x609) /* unsigned PD refused on this domain */
#define SIM_ERR_NO_DEVICE (-0x7fffffff - 1 + 0x60a)   /* device node missing or not accessible */
#define SIM_ERR_UNSUPPORTED 108                       /* request id not implemented */

/* ---- Writing and reading fields ------------------------------------------------------------ */

/* Where a message is written. Writing never goes past `cap`, but `len` counts every byte, so a
 * writer without a buffer measures a message, and one whose `len` ends above `cap` had too
 * little room. */
typedef struct sim_out {
    uint8_t* buf;
    uint32_t cap;
    uint32_t len;
} sim_out;

sim_out sim_writer(uint8_t* buf, uint32_t cap);
int sim_out_fits(const sim_out* o);
void sim_put_u32(sim_out* o, uint32_t v);
void sim_put_u64(sim_out* o, uint64_t v);
void sim_put_f64(sim_out* o, double v);
void sim_put_bytes(sim_out* o, const void* src, uint32_t n);
/* Zeros up to the next multiple of 8 bytes. */
void sim_put_pad8(sim_out* o);

/* What a message is read from. A read past the end gives zeros and marks the reader bad. */
typedef struct sim_in {
    const uint8_t* buf;
    uint32_t len;
    uint32_t off;
    int bad;
} sim_in;

sim_in sim_reader(const uint8_t* buf, uint32_t len);
uint32_t sim_get_u32(sim_in* in);
uint64_t sim_get_u64(sim_in* in);
double sim_get_f64(sim_in* in);
/* The next n bytes where they are in the message; null (and the reader bad) past the end. */
const uint8_t* sim_get_bytes(sim_in* in, uint32_t n);
void sim_get_pad8(sim_in* in);

/* ---- Messages ------------------------------------------------------------------------------ */

/* A frame: sim_frame_begin writes the header, sim_frame_end sets its length to what follows. */
void sim_frame_begin(sim_out* o, uint32_t type);
void sim_frame_end(sim_out* o);
/* Reads a header of SIM_FRAME_HEADER_BYTES bytes. */
sim_frame_header sim_frame_header_get(const uint8_t* bytes);

/* The configuration: the fixed part, then the lists whose lengths it gives (c->n_*): faults,
 * UTIMER and UPCYCLE readings, counter triples (n_pmu times three values), clock readings, load
 * steps. */
typedef struct sim_config_lists {
    const sim_fault* faults;
    const uint64_t* utimer;
    const uint64_t* upcycle;
    const uint32_t* pmu;
    const uint32_t* clock;
    const sim_load_step* steps;
} sim_config_lists;

/* Where a configuration's lists are read to: SIM_MAX_DSP_FAULTS faults, SIM_MAX_SCRIPT readings
 * each, 3 * SIM_MAX_SCRIPT counter values, SIM_MAX_LOAD_STEPS steps. */
typedef struct sim_config_arrays {
    sim_fault* faults;
    uint64_t* utimer;
    uint64_t* upcycle;
    uint32_t* pmu;
    uint32_t* clock;
    sim_load_step* steps;
} sim_config_arrays;

void sim_config_put(sim_out* o, const sim_config* c, const sim_config_lists* lists);
/* Reads a configuration into c and the arrays: 0, or -1 when it is short, its lists are longer
 * than the arrays, or its load steps are out of order (see sim_config). */
int sim_config_get(sim_in* in, sim_config* c, const sim_config_arrays* arrays);

void sim_open_req_put(sim_out* o, const char* path, const char* entry, const char* uri);
/* 0, or -1 when a string is empty, missing or not NUL-terminated. The strings stay in the
 * message. */
int sim_open_req_get(sim_in* in, sim_open_req* q);

void sim_open_reply_put(sim_out* o, const sim_open_reply* r);
int sim_open_reply_get(sim_in* in, sim_open_reply* r);

/* The request with the buffers and input handles of `args` as q->scalars counts them: 0, or -1
 * when a buffer is longer than SIM_MAX_PAYLOAD or has no memory for its length. */
int sim_invoke_req_put(sim_out* o, const sim_invoke_req* q, const remote_arg* args);
int sim_invoke_req_get(sim_in* in, sim_invoke_req* q);
/* The receiving side's argument array for the rest of the request: input buffers point into
 * the request, output buffers into the reply being written (`reply`, after
 * sim_invoke_reply_begin), holding the caller's bytes; input handles are read, output handles
 * zero. 0, or -1 when the request is malformed or the reply has no room. */
int sim_invoke_args_get(sim_in* in, uint32_t scalars, remote_arg* args, sim_out* reply);
/* A reply frame is begun before the arguments are laid out in it and ended with the result:
 * on 0 the output handles of `args` follow the buffers, otherwise the buffers are dropped. */
void sim_invoke_reply_begin(sim_out* o);
void sim_invoke_reply_end(sim_out* o, int32_t result, uint32_t scalars, const remote_arg* args);
/* The reply's result; on 0 the output buffers and handles are copied into `args`.
 * SIM_ERR_DSP_LOST, with nothing copied, when the reply is malformed. */
int32_t sim_invoke_reply_get(sim_in* in, uint32_t scalars, remote_arg* args);

void sim_status_reply_put(sim_out* o, const sim_status_reply* s);
int sim_status_reply_get(sim_in* in, sim_status_reply* s);

#ifdef __cplusplus
}
#endif

#endif
