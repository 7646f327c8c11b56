/* Framed protocol between the simulated FastRPC client library (application side) and the
 * simulated DSP host. Every message is a header (type, payload length) followed by the payload.
 * All fields are fixed-width little-endian integers or IEEE doubles, so a 32-bit DSP host (a
 * Hexagon build under an emulator) and the 64-bit application side read the same bytes.
 * Freestanding: only compiler-provided headers. */
#ifndef KESTREL_SIM_PROTO_H
#define KESTREL_SIM_PROTO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    SIM_MSG_CONFIG = 1, /* AP -> DSP, first message: sim_config + faults + scripts; no reply */
    SIM_MSG_OPEN = 2,   /* AP -> DSP: sim_open_req + strings; reply sim_open_reply */
    SIM_MSG_INVOKE = 3, /* AP -> DSP: sim_invoke_req + arguments; reply sim_invoke_reply + data */
    SIM_MSG_STATUS = 4, /* AP -> DSP: no payload; reply sim_status_reply */
    SIM_MSG_REPLY = 64, /* DSP -> AP: the answer to the request in progress */
    SIM_MSG_TRACE = 65, /* DSP -> AP: one complete JSON trace line (without line end) */
};

/* Largest request payload; replies may add up to SIM_REPLY_EXTRA bytes. */
#define SIM_MAX_PAYLOAD (1u << 20)
#define SIM_REPLY_EXTRA 4096u

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

/* DSP-side calls that a fault can replace. */
enum {
    SIM_DSP_CALL_NONE = 0,
    SIM_DSP_CALL_POWER_SET = 1,
    SIM_DSP_CALL_POWER_GET = 2,
    SIM_DSP_CALL_PMU_REGISTER = 3,
    SIM_DSP_CALL_PMU_READ = 4,
    SIM_DSP_CALL_PMU_DEREGISTER = 5,
    SIM_DSP_CALL_MALLOC = 6,
    SIM_DSP_CALL_COUNT = 7,
};

#define SIM_DOMAIN_NAME_BYTES 32
#define SIM_MAX_DSP_FAULTS 32
#define SIM_MAX_SCRIPT 1024

typedef struct sim_fault {
    uint32_t call; /* SIM_DSP_CALL_* */
    uint32_t nth;  /* 1-based call number; 0 = every call */
    int32_t result;
    uint32_t reserved;
} sim_fault;

/* Followed by n_faults sim_fault records, then the scripts in this order: n_utimer u64 values,
 * n_upcycle u64 values, n_pmu triples of u32 values, n_clock u32 values. */
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
} sim_config;

/* Followed by the library path, the entry point name and the URI, each NUL-terminated. */
typedef struct sim_open_req {
    uint32_t path_len;  /* with NUL */
    uint32_t entry_len; /* with NUL */
    uint32_t uri_len;   /* with NUL */
    uint32_t reserved;
} sim_open_req;

typedef struct sim_open_reply {
    int32_t result;
    uint32_t module; /* index of the loaded module, for later invocations */
    uint64_t handle; /* the skeleton's handle */
} sim_open_reply;

#define SIM_INVOKE_CRASH 0x1u /* the DSP dies on receiving this invocation */

/* Followed by: each input buffer as u32 length, u32 zero, bytes; each output buffer as u32
 * length, u32 zero, the caller's current bytes (the DSP sees the caller's memory); each input
 * handle as u64. Every item starts at a multiple of 8 bytes from the payload start. */
typedef struct sim_invoke_req {
    uint32_t module;
    uint32_t scalars;
    uint64_t handle;
    uint32_t flags;
    uint32_t reserved;
} sim_invoke_req;

/* On result 0 followed by each output buffer's bytes (8-byte aligned items) and each output
 * handle as u64. */
typedef struct sim_invoke_reply {
    int32_t result;
    uint32_t reserved;
} sim_invoke_reply;

typedef struct sim_status_reply {
    uint32_t pmu_groups;  /* PMU groups registered */
    uint32_t heap_blocks; /* heap blocks in use */
} sim_status_reply;

static inline uint32_t sim_align8(uint32_t n) {
    return (n + 7u) & ~7u;
}

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
#define SIM_ERR_UNSUPPORTED 108                       /* request id not implemented */

#ifdef __cplusplus
}
#endif

#endif
