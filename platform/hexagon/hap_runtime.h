/* The Hexagon DSP runtime as the DSP library uses it: power requests, the PMU group functions,
 * logging, the heap and the few C library functions the runtime provides. Freestanding: only
 * compiler-provided headers are included. */
#ifndef KESTREL_PLATFORM_HAP_RUNTIME_H
#define KESTREL_PLATFORM_HAP_RUNTIME_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HAP_WEAK __attribute__((weak))

/* ---- Power -------------------------------------------------------------------------------- */

enum { HAP_power_set_DCVS_v2 = 7 };  /* set request type used for the clock vote */
enum { HAP_power_get_clk_Freq = 4 }; /* get response type: core clock in Hz */

/* Set request: 120 bytes, the type at byte 0, the type's payload from byte 8. */
typedef struct HAP_power_request_t {
    uint32_t type;
    uint32_t reserved;
    union {
        uint8_t bytes[112];
        uint64_t align;
    } payload;
} HAP_power_request_t;

/* Get response: 16 bytes, the type at byte 0, the value from byte 8. */
typedef struct HAP_power_response_t {
    uint32_t type;
    uint32_t reserved;
    union {
        uint32_t clkFreqHz;
        uint64_t align;
    } value;
} HAP_power_response_t;

int HAP_power_set(void* context, HAP_power_request_t* request);
int HAP_power_get(void* context, HAP_power_response_t* response);

/* ---- PMU group ---------------------------------------------------------------------------- */

typedef struct HAP_pmu_group_config_t {
    uint32_t group_id; /* written by the runtime on registration */
    uint32_t num_events;
    uint16_t events[4];
    uint32_t pmu_values[4]; /* written by the runtime on each read, in event order */
} HAP_pmu_group_config_t;

int __HAP_register_pmu_group(HAP_pmu_group_config_t* group) HAP_WEAK;
int __HAP_read_pmu_group(HAP_pmu_group_config_t* group) HAP_WEAK;
int __HAP_deregister_pmu_group(uint32_t group_id) HAP_WEAK;

/* ---- Logging ------------------------------------------------------------------------------ */

void HAP_debug(const char* msg, int level, const char* filename, int line);
void HAP_debug_runtime(int level, const char* file, int line, const char* format, ...) HAP_WEAK;
void HAP_debug_v2(int level, const char* file, int line, const char* format, ...) HAP_WEAK;

/* ---- Heap and C library of the runtime ---------------------------------------------------- */

void* __wrap_malloc(size_t size);
void __wrap_free(void* ptr);
void* memset(void* s, int c, size_t n);
int vsnprintf(char* str, size_t size, const char* format, va_list ap);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#define HAP_STATIC_ASSERT static_assert
#else
#define HAP_STATIC_ASSERT _Static_assert
#endif
HAP_STATIC_ASSERT(sizeof(HAP_power_request_t) == 120, "power set request");
HAP_STATIC_ASSERT(offsetof(HAP_power_request_t, payload) == 8, "power set payload");
HAP_STATIC_ASSERT(sizeof(HAP_power_response_t) == 16, "power get response");
HAP_STATIC_ASSERT(offsetof(HAP_power_response_t, value) == 8, "power get value");
HAP_STATIC_ASSERT(sizeof(HAP_pmu_group_config_t) == 32, "PMU group record");
HAP_STATIC_ASSERT(offsetof(HAP_pmu_group_config_t, events) == 8, "PMU events");
HAP_STATIC_ASSERT(offsetof(HAP_pmu_group_config_t, pmu_values) == 16, "PMU values");
#undef HAP_STATIC_ASSERT

#endif
