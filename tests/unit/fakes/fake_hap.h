/* A recording fake of the DSP runtime for the DSP library's tests: control registers, heap,
 * power requests, PMU group functions and logging. One state record decides every answer and
 * records every call; check_case_setup() resets it. Plain C without a C library of its own
 * (memset and vsnprintf are the runtime's), so it also builds for a freestanding DSP program.
 *
 * The fake is built from one source into variants that differ in which optional runtime
 * functions exist (tests/unit/fakes/CMakeLists.txt); in a variant that lacks one, the weak
 * declaration in hexagon/hap_runtime.h resolves to null, as on an older DSP image. */
#ifndef KESTREL_TESTS_FAKE_HAP_H
#define KESTREL_TESTS_FAKE_HAP_H

#include <stddef.h>
#include <stdint.h>

#include "hexagon/hap_runtime.h"

#ifdef __cplusplus
extern "C" {
#endif

/* More blocks than the DSP library keeps contexts, so that its table can be filled. */
#define FAKE_HEAP_BLOCKS 24
#define FAKE_LOG_TEXT 512

typedef struct fake_log_record {
    int level;
    const char* file;
    int line;
    char text[FAKE_LOG_TEXT];
} fake_log_record;

typedef struct fake_hap_state {
    /* Every call into any fake, for "nothing was called" checks. */
    int calls;

    /* Control registers. */
    uint64_t utimer;
    uint64_t upcycle;

    /* Heap: one-byte blocks from a fixed pool. */
    int malloc_fails; /* when set, __wrap_malloc returns null */
    int malloc_calls;
    size_t malloc_last_size;
    int free_calls;
    void* free_last;
    int free_invalid; /* frees of a pointer that is not a live block */
    int live_blocks;

    /* Power. */
    int power_set_result;
    int power_get_result;
    uint32_t clock_hz;
    int power_set_calls;
    int power_get_calls;
    void* power_set_context;
    void* power_get_context;
    int power_context_live; /* the context was a live heap block at the time of both calls */
    uint8_t power_set_request[sizeof(HAP_power_request_t)];
    uint8_t power_get_response[sizeof(HAP_power_response_t)]; /* as passed in */

    /* PMU group. */
    int pmu_register_result;
    int pmu_read_result;
    int pmu_deregister_result;
    int pmu_register_calls;
    int pmu_read_calls;
    int pmu_deregister_calls;
    uint32_t pmu_next_group_id;
    uint32_t pmu_deregistered_id;
    uint32_t pmu_values[4];
    HAP_pmu_group_config_t pmu_registered; /* copy of the record at registration */
    HAP_pmu_group_config_t* pmu_register_record;
    HAP_pmu_group_config_t* pmu_read_record;

    /* Logging. */
    int debug_calls;
    fake_log_record debug_last;
    int debug_runtime_calls;
    fake_log_record debug_runtime_last;
    int debug_v2_calls;
} fake_hap_state;

extern fake_hap_state fake_hap;

/* Whether the pointer is a block of the fake heap that has not been freed. */
int fake_heap_is_live(const void* p);

/* Copies src (NUL-terminated, at most cap - 1 bytes) into dst. */
void fake_copy_text(char* dst, size_t cap, const char* src);

#ifdef __cplusplus
}
#endif

#endif
