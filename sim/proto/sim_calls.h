/* The platform calls that the virtual board stands in for, on both sides, in one table:
 *
 *   X(ID, NAME, SIDE, FAULT)
 *
 * ID is the call's number (SIM_CALL_*), which a DSP-side fault record carries over the link;
 * NAME is how board profiles (the "call" of a fault) and the trace name it; SIDE says which
 * processor provides it; FAULT is 1 when a board fault may name it (an application-side call is
 * then replaced, a DSP-side call returns the fault's result on the DSP).
 * Freestanding: only compiler-provided headers. */
#ifndef KESTREL_SIM_CALLS_H
#define KESTREL_SIM_CALLS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { SIM_SIDE_AP = 0, SIM_SIDE_DSP = 1 };

#define SIM_PLATFORM_CALLS(X)                                                 \
    X(SIM_CALL_OPEN, "remote_handle64_open", SIM_SIDE_AP, 1)                  \
    X(SIM_CALL_CLOSE, "remote_handle64_close", SIM_SIDE_AP, 1)                \
    X(SIM_CALL_INVOKE, "remote_handle64_invoke", SIM_SIDE_AP, 1)              \
    X(SIM_CALL_HANDLE_CONTROL, "remote_handle_control", SIM_SIDE_AP, 1)       \
    X(SIM_CALL_SESSION_CONTROL, "remote_session_control", SIM_SIDE_AP, 1)     \
    X(SIM_CALL_SYSTEM_REQUEST, "remote_system_request", SIM_SIDE_AP, 1)       \
    X(SIM_CALL_AP_DEBUG_RUNTIME, "HAP_debug_runtime", SIM_SIDE_AP, 0)         \
    X(SIM_CALL_AP_DEBUG_V2, "HAP_debug_v2", SIM_SIDE_AP, 0)                   \
    X(SIM_CALL_POWER_SET, "HAP_power_set", SIM_SIDE_DSP, 1)                   \
    X(SIM_CALL_POWER_GET, "HAP_power_get", SIM_SIDE_DSP, 1)                   \
    X(SIM_CALL_PMU_REGISTER, "__HAP_register_pmu_group", SIM_SIDE_DSP, 1)     \
    X(SIM_CALL_PMU_READ, "__HAP_read_pmu_group", SIM_SIDE_DSP, 1)             \
    X(SIM_CALL_PMU_DEREGISTER, "__HAP_deregister_pmu_group", SIM_SIDE_DSP, 1) \
    X(SIM_CALL_MALLOC, "__wrap_malloc", SIM_SIDE_DSP, 1)                      \
    X(SIM_CALL_FREE, "__wrap_free", SIM_SIDE_DSP, 0)                          \
    X(SIM_CALL_DEBUG, "HAP_debug", SIM_SIDE_DSP, 0)                           \
    X(SIM_CALL_DEBUG_RUNTIME, "HAP_debug_runtime", SIM_SIDE_DSP, 0)           \
    X(SIM_CALL_DEBUG_V2, "HAP_debug_v2", SIM_SIDE_DSP, 0)                     \
    X(SIM_CALL_READ_UPCYCLE, "dsp_read_upcycle", SIM_SIDE_DSP, 0)             \
    X(SIM_CALL_READ_UTIMER, "dsp_read_utimer", SIM_SIDE_DSP, 0)

#define SIM_CALL_ENUM_(id, name, side, fault) id,
/* The ids count from 1 in the order of the table; 0 is no call. */
enum { SIM_CALL_NONE = 0, SIM_PLATFORM_CALLS(SIM_CALL_ENUM_) SIM_CALL_COUNT };
#undef SIM_CALL_ENUM_

typedef struct sim_call_info {
    const char* name; /* null for an id outside the table */
    int side;         /* SIM_SIDE_AP or SIM_SIDE_DSP; -1 outside the table */
    int can_fail;     /* a board fault may name the call */
} sim_call_info;

static inline sim_call_info sim_call(uint32_t id) {
    sim_call_info info = {0, -1, 0};
    switch (id) {
#define SIM_CALL_INFO_(i, call_name, call_side, call_fault) \
    case i:                                                 \
        info.name = call_name;                              \
        info.side = call_side;                              \
        info.can_fail = call_fault;                         \
        break;
        SIM_PLATFORM_CALLS(SIM_CALL_INFO_)
#undef SIM_CALL_INFO_
    }
    return info;
}

#ifdef __cplusplus
}
#endif

#endif
