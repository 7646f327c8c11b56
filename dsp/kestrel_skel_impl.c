/* The PMU sampling service of the DSP library: the DSP-side handle functions and methods 2 to 6
 * of the remote interface. It reads one registered group of three PMU events, the processor
 * cycle counter (UPCYCLE), the 19.2 MHz timer (UTIMER) and the core clock. Freestanding: it
 * uses only the DSP runtime's functions. */
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#include "hexagon/dsp_registers.h"
#include "hexagon/hap_runtime.h"
#include "kestrel.h"
#include "kestrel_skel_impl.h"

static const char kSourceName[] = "kestrel_skel_impl";

/* Level value of HAP_debug records. */
#define SERVICE_LOG_LEVEL 0x22
/* Level of HAP_debug_runtime records. */
#define SERVICE_LOG_RUNTIME_LEVEL 2

/* PMU events of the group, in the order their counters are reported. */
enum {
    PMU_EVENT_COMMITTED_PACKETS = 0x0003,
    PMU_EVENT_HVX_PACKETS = 0x0111,
    PMU_EVENT_HMX_ACTIVE_CYCLES = 0x0200,
};

/* The one PMU group of the library, shared by every session while the library is loaded. */
static HAP_pmu_group_config_t g_pmu_group;

void service_log(int line, const char* format, ...) {
    char buffer[SERVICE_LOG_BUFFER_SIZE];
    va_list ap;
    va_start(ap, format);
    vsnprintf(buffer, sizeof buffer, format, ap);
    va_end(ap);
    if (!HAP_debug_v2) {
        HAP_debug(buffer, SERVICE_LOG_LEVEL, kSourceName, line);
    } else if (HAP_debug_runtime) {
        /* The text is already formatted: hand it over as data, never as a format. */
        HAP_debug_runtime(SERVICE_LOG_RUNTIME_LEVEL, kSourceName, line, "%s", buffer);
    }
}

uint64_t skel_timer_to_us(uint64_t ticks) {
    return (ticks * 10u) / 192u;
}

/* The contexts this library handed out and has not freed yet; an empty slot is null. Close
 * frees only a context found here, so a forged handle or a second close frees nothing. The
 * library is driven by one session at a time, so the table has no lock. */
static void* g_live_contexts[SKEL_MAX_CONTEXTS];

/* The slot holding the context whose handle is h, or null when there is none. The full 64-bit
 * value is compared, so on the 32-bit DSP a handle with upper bits set never matches. */
static void** find_context(remote_handle64 h) {
    for (size_t i = 0; i < SKEL_MAX_CONTEXTS; ++i) {
        if (g_live_contexts[i] != NULL && (uint64_t)(uintptr_t)g_live_contexts[i] == h) {
            return &g_live_contexts[i];
        }
    }
    return NULL;
}

/* An empty slot, or null when the table is full. */
static void** find_free_slot(void) {
    for (size_t i = 0; i < SKEL_MAX_CONTEXTS; ++i) {
        if (g_live_contexts[i] == NULL) {
            return &g_live_contexts[i];
        }
    }
    return NULL;
}

int skel_open(const char* uri, remote_handle64* h) {
    void* block = __wrap_malloc(1);
    void** slot = find_free_slot();
    (void)uri;
    if (block == NULL || slot == NULL) {
        /* With the table full the context could never be closed: its block goes back. */
        if (block != NULL) {
            __wrap_free(block);
        }
        *h = 0;
        service_log(__LINE__, "kestrel_open create handle failed.");
        return -1;
    }
    *slot = block;
    *h = (remote_handle64)(uintptr_t)block;
    return 0;
}

int skel_close(remote_handle64 h) {
    void** slot;
    if (h == 0) {
        return 0;
    }
    slot = find_context(h);
    if (slot == NULL) {
        return KESTREL_ERROR_BAD_PARAMETER;
    }
    __wrap_free(*slot);
    *slot = NULL;
    return 0;
}

int skel_get_legacy_perf_value(remote_handle64 h, int64_t* timer_cnt_us, int64_t* pcycle) {
    (void)h;
    *timer_cnt_us = (int64_t)skel_timer_to_us(dsp_read_utimer());
    *pcycle = (int64_t)dsp_read_upcycle();
    return 0;
}

int skel_pmu_init(remote_handle64 h) {
    (void)h;
    g_pmu_group.num_events = 3;
    g_pmu_group.events[0] = PMU_EVENT_COMMITTED_PACKETS;
    g_pmu_group.events[1] = PMU_EVENT_HVX_PACKETS;
    g_pmu_group.events[2] = PMU_EVENT_HMX_ACTIVE_CYCLES;
    g_pmu_group.events[3] = 0;
    if (__HAP_register_pmu_group && __HAP_register_pmu_group(&g_pmu_group) == 0) {
        return 0;
    }
    service_log(__LINE__, "register pmu event failure.");
    return -1;
}

int skel_pmu_deinit(remote_handle64 h) {
    (void)h;
    if (__HAP_deregister_pmu_group && __HAP_deregister_pmu_group(g_pmu_group.group_id) == 0) {
        return 0;
    }
    service_log(__LINE__, "deregister pmu event failure.");
    return -1;
}

int skel_get_group_pmt_value(remote_handle64 h, int32_t* pkg_cnt, int32_t* hvx_cnt,
                             int32_t* hmx_cnt, int64_t* timer_cnt_us, int64_t* pcycle) {
    (void)h;
    *timer_cnt_us = (int64_t)skel_timer_to_us(dsp_read_utimer());
    *pcycle = (int64_t)dsp_read_upcycle();
    if (__HAP_read_pmu_group && __HAP_read_pmu_group(&g_pmu_group) == 0) {
        *pkg_cnt = (int32_t)g_pmu_group.pmu_values[0];
        *hvx_cnt = (int32_t)g_pmu_group.pmu_values[1];
        *hmx_cnt = (int32_t)g_pmu_group.pmu_values[2];
        return 0;
    }
    service_log(__LINE__, "read pmu event failure.");
    return -1;
}

int skel_get_dsp_current_freq(remote_handle64 h, int32_t* dsp_freq, int32_t* hmx_freq) {
    HAP_power_request_t request;
    HAP_power_response_t response;
    int result = -1;
    /* A fresh power client context for this query only. */
    void* context = __wrap_malloc(1);
    (void)h;
    (void)hmx_freq;

    memset(&request, 0, sizeof request);
    request.type = HAP_power_set_DCVS_v2;
    request.payload.bytes[0] = 1;
    request.payload.bytes[1] = 1;
    if (HAP_power_set(context, &request) < 0) {
        service_log(__LINE__, "HAP_power_set dsp failure.");
        goto done;
    }

    memset(&response, 0, sizeof response);
    response.type = HAP_power_get_clk_Freq;
    if (HAP_power_get(context, &response) != 0) {
        service_log(__LINE__, "HAP_power_get dsp clk failure.");
        goto done;
    }
    *dsp_freq = (int32_t)response.value.clkFreqHz;
    result = 0;

done:
    if (context != NULL) {
        __wrap_free(context);
    }
    return result;
}

/* ---- Exported entry points ----------------------------------------------------------------- */

KESTREL_EXPORT int kestrel_open(const char* uri, remote_handle64* h) {
    return skel_open(uri, h);
}

KESTREL_EXPORT int kestrel_close(remote_handle64 h) {
    return skel_close(h);
}

KESTREL_EXPORT int kestrel_get_legacy_perf_value(remote_handle64 h, int64_t* timer_cnt_us,
                                                 int64_t* pcycle) {
    return skel_get_legacy_perf_value(h, timer_cnt_us, pcycle);
}

KESTREL_EXPORT int kestrel_pmu_init(remote_handle64 h) {
    return skel_pmu_init(h);
}

KESTREL_EXPORT int kestrel_pmu_deinit(remote_handle64 h) {
    return skel_pmu_deinit(h);
}

KESTREL_EXPORT int kestrel_get_group_pmt_value(remote_handle64 h, int32_t* pkg_cnt,
                                               int32_t* hvx_cnt, int32_t* hmx_cnt,
                                               int64_t* timer_cnt_us, int64_t* pcycle) {
    return skel_get_group_pmt_value(h, pkg_cnt, hvx_cnt, hmx_cnt, timer_cnt_us, pcycle);
}

KESTREL_EXPORT int kestrel_get_dsp_current_freq(remote_handle64 h, int32_t* dsp_freq,
                                                int32_t* hmx_freq) {
    return skel_get_dsp_current_freq(h, dsp_freq, hmx_freq);
}
