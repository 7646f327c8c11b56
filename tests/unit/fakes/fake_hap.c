/* The fake DSP runtime. Each optional function is left out of the build by its switch, so that
 * its weak declaration resolves to null in the test program:
 *   FAKE_HAP_WITHOUT_PMU             __HAP_register_pmu_group, __HAP_read_pmu_group and
 *                                    __HAP_deregister_pmu_group
 *   FAKE_HAP_WITHOUT_DEBUG_RUNTIME   HAP_debug_runtime
 *   FAKE_HAP_WITHOUT_DEBUG_V2        HAP_debug_v2 */
#include "fake_hap.h"

#include <stdarg.h>

#include "check.h"
#include "hexagon/dsp_registers.h"

fake_hap_state fake_hap;

static uint8_t heap_blocks[FAKE_HEAP_BLOCKS][8];
static int heap_used[FAKE_HEAP_BLOCKS];

void check_case_setup(void) {
    memset(&fake_hap, 0, sizeof fake_hap);
    memset(heap_used, 0, sizeof heap_used);
    fake_hap.pmu_next_group_id = 1;
}

void fake_copy_text(char* dst, size_t cap, const char* src) {
    size_t i = 0;
    for (; src != NULL && src[i] != '\0' && i + 1 < cap; ++i) {
        dst[i] = src[i];
    }
    dst[i] = '\0';
}

int fake_heap_is_live(const void* p) {
    for (int i = 0; i < FAKE_HEAP_BLOCKS; ++i) {
        if (p == heap_blocks[i]) {
            return heap_used[i];
        }
    }
    return 0;
}

uint64_t dsp_read_utimer(void) {
    ++fake_hap.calls;
    return fake_hap.utimer;
}

uint64_t dsp_read_upcycle(void) {
    ++fake_hap.calls;
    return fake_hap.upcycle;
}

void* __wrap_malloc(size_t size) {
    ++fake_hap.calls;
    ++fake_hap.malloc_calls;
    fake_hap.malloc_last_size = size;
    if (fake_hap.malloc_fails || size > sizeof heap_blocks[0]) {
        return NULL;
    }
    for (int i = 0; i < FAKE_HEAP_BLOCKS; ++i) {
        if (!heap_used[i]) {
            heap_used[i] = 1;
            ++fake_hap.live_blocks;
            return heap_blocks[i];
        }
    }
    return NULL;
}

void __wrap_free(void* ptr) {
    ++fake_hap.calls;
    ++fake_hap.free_calls;
    fake_hap.free_last = ptr;
    for (int i = 0; i < FAKE_HEAP_BLOCKS; ++i) {
        if (ptr == heap_blocks[i] && heap_used[i]) {
            heap_used[i] = 0;
            --fake_hap.live_blocks;
            return;
        }
    }
    ++fake_hap.free_invalid;
}

static void copy_bytes(uint8_t* dst, const void* src, size_t n) {
    const uint8_t* s = (const uint8_t*)src;
    for (size_t i = 0; i < n; ++i) {
        dst[i] = s[i];
    }
}

int HAP_power_set(void* context, HAP_power_request_t* request) {
    ++fake_hap.calls;
    ++fake_hap.power_set_calls;
    fake_hap.power_set_context = context;
    fake_hap.power_context_live = fake_heap_is_live(context);
    copy_bytes(fake_hap.power_set_request, request, sizeof *request);
    return fake_hap.power_set_result;
}

int HAP_power_get(void* context, HAP_power_response_t* response) {
    ++fake_hap.calls;
    ++fake_hap.power_get_calls;
    fake_hap.power_get_context = context;
    fake_hap.power_context_live = fake_hap.power_context_live && fake_heap_is_live(context);
    copy_bytes(fake_hap.power_get_response, response, sizeof *response);
    if (fake_hap.power_get_result == 0) {
        response->value.clkFreqHz = fake_hap.clock_hz;
    } else {
        /* A failing platform may still have scribbled on the response. */
        response->value.clkFreqHz = 0xbadu;
    }
    return fake_hap.power_get_result;
}

void HAP_debug(const char* msg, int level, const char* filename, int line) {
    ++fake_hap.calls;
    ++fake_hap.debug_calls;
    fake_hap.debug_last.level = level;
    fake_hap.debug_last.file = filename;
    fake_hap.debug_last.line = line;
    fake_copy_text(fake_hap.debug_last.text, sizeof fake_hap.debug_last.text, msg);
}

/* ---- Optional functions ---------------------------------------------------------------------- */

#ifndef FAKE_HAP_WITHOUT_PMU
int __HAP_register_pmu_group(HAP_pmu_group_config_t* group) {
    ++fake_hap.calls;
    ++fake_hap.pmu_register_calls;
    fake_hap.pmu_register_record = group;
    fake_hap.pmu_registered = *group;
    if (fake_hap.pmu_register_result != 0) {
        return fake_hap.pmu_register_result;
    }
    group->group_id = fake_hap.pmu_next_group_id++;
    return 0;
}

int __HAP_read_pmu_group(HAP_pmu_group_config_t* group) {
    ++fake_hap.calls;
    ++fake_hap.pmu_read_calls;
    fake_hap.pmu_read_record = group;
    if (fake_hap.pmu_read_result != 0) {
        return fake_hap.pmu_read_result;
    }
    for (int i = 0; i < 4; ++i) {
        group->pmu_values[i] = fake_hap.pmu_values[i];
    }
    return 0;
}

int __HAP_deregister_pmu_group(uint32_t group_id) {
    ++fake_hap.calls;
    ++fake_hap.pmu_deregister_calls;
    fake_hap.pmu_deregistered_id = group_id;
    return fake_hap.pmu_deregister_result;
}
#endif

#ifndef FAKE_HAP_WITHOUT_DEBUG_RUNTIME
/* Records the formatted record. */
__attribute__((format(printf, 4, 5))) void HAP_debug_runtime(int level, const char* file, int line,
                                                             const char* format, ...) {
    va_list ap;
    ++fake_hap.calls;
    ++fake_hap.debug_runtime_calls;
    fake_hap.debug_runtime_last.level = level;
    fake_hap.debug_runtime_last.file = file;
    fake_hap.debug_runtime_last.line = line;
    va_start(ap, format);
    vsnprintf(fake_hap.debug_runtime_last.text, sizeof fake_hap.debug_runtime_last.text, format,
              ap);
    va_end(ap);
}
#endif

#ifndef FAKE_HAP_WITHOUT_DEBUG_V2
/* Its presence is what the library tests; it only counts. */
__attribute__((format(printf, 4, 5))) void HAP_debug_v2(int level, const char* file, int line,
                                                        const char* format, ...) {
    (void)level;
    (void)file;
    (void)line;
    (void)format;
    ++fake_hap.calls;
    ++fake_hap.debug_v2_calls;
}
#endif
