/* A small DSP library for the virtual board's tests: its entry point exercises argument
 * transport and the runtime functions the way a real skeleton would. */
#include <stdint.h>

#include "fastrpc/remote_types.h"
#include "hexagon/dsp_registers.h"
#include "hexagon/hap_runtime.h"

int test_skel_invoke(remote_handle64 handle, uint32_t scalars, remote_arg* args);

enum {
    M_OPEN = 0,
    M_CLOSE = 1,
    M_ECHO = 7,     /* out buf 0 = in buf 0 reversed; out handle 0 = in handle 0 + 1 */
    M_FAIL = 8,     /* writes 0xEE into out buf 0, then returns the int32 in in buf 0 */
    M_PRESENCE = 9, /* out buf 0 (u32): bit 0 PMU functions, 1 HAP_debug_v2, 2 HAP_debug_runtime */
    M_LOG = 10,     /* logs in buf 0 (text) through every log function present */
    M_SAMPLE = 11,  /* out buf 0: utimer u64, upcycle u64, pmu[3] u32 + pad (registers once) */
    M_CLOCK = 12,   /* out buf 0 (u32): HAP_power_get's clock */
    M_TOUCH = 13,   /* writes only byte 0 of out buf 0 */
    M_DEINIT = 14,  /* deregisters the group registered by M_SAMPLE */
    M_MALLOC = 15,  /* out buf 0 (u32): 1 when a 16-byte allocation succeeded (kept) */
};

static HAP_pmu_group_config_t group;
static int registered;

static void copy_bytes(void* dst, const void* src, uint32_t n) {
    uint8_t* d = (uint8_t*)dst;
    const uint8_t* s = (const uint8_t*)src;
    for (uint32_t i = 0; i < n; ++i)
        d[i] = s[i];
}

int test_skel_invoke(remote_handle64 handle, uint32_t scalars, remote_arg* args) {
    const uint32_t method = remote_scalars_method(scalars);
    const uint32_t nin = remote_scalars_in_bufs(scalars);
    const uint32_t nout = remote_scalars_out_bufs(scalars);
    switch (method) {
        case M_OPEN: {
            if (nin != 2 || remote_scalars_out_handles(scalars) != 1 || args[0].buf.nLen != 4) {
                return 0x8000040e;
            }
            uint32_t len;
            copy_bytes(&len, args[0].buf.pv, 4);
            const char* uri = (const char*)args[1].buf.pv;
            if (len == 0 || len > args[1].buf.nLen || uri[len - 1] != '\0')
                return 0x8000040e;
            void* block = __wrap_malloc(1);
            if (block == 0)
                return -1;
            args[2].h64 = (uint64_t)(uintptr_t)block;
            return 0;
        }
        case M_CLOSE:
            if (remote_scalars_in_handles(scalars) != 1)
                return 0x8000040e;
            if (args[0].h64 != 0)
                __wrap_free((void*)(uintptr_t)args[0].h64);
            return 0;
        case M_ECHO: {
            if (nin != 1 || nout != 1 || args[0].buf.nLen != args[1].buf.nLen)
                return 0x8000040e;
            const uint8_t* in = (const uint8_t*)args[0].buf.pv;
            uint8_t* out = (uint8_t*)args[1].buf.pv;
            for (uint32_t i = 0; i < args[0].buf.nLen; ++i)
                out[i] = in[args[0].buf.nLen - 1 - i];
            if (remote_scalars_in_handles(scalars) == 1 &&
                remote_scalars_out_handles(scalars) == 1) {
                args[3].h64 = args[2].h64 + 1;
            }
            return 0;
        }
        case M_FAIL: {
            int32_t code;
            if (nin != 1 || nout != 1 || args[0].buf.nLen != 4)
                return 0x8000040e;
            copy_bytes(&code, args[0].buf.pv, 4);
            uint8_t* out = (uint8_t*)args[1].buf.pv;
            for (uint32_t i = 0; i < args[1].buf.nLen; ++i)
                out[i] = 0xEE;
            return code;
        }
        case M_PRESENCE: {
            uint32_t bits = 0;
            if (__HAP_register_pmu_group && __HAP_read_pmu_group && __HAP_deregister_pmu_group) {
                bits |= 1u;
            }
            if (HAP_debug_v2)
                bits |= 2u;
            if (HAP_debug_runtime)
                bits |= 4u;
            if (nout != 1 || args[0].buf.nLen < 4)
                return 0x8000040e;
            copy_bytes(args[0].buf.pv, &bits, 4);
            return 0;
        }
        case M_LOG: {
            if (nin != 1)
                return 0x8000040e;
            const char* text = (const char*)args[0].buf.pv;
            HAP_debug(text, 0x22, "test_skel", 1);
            if (HAP_debug_v2)
                HAP_debug_v2(2, "test_skel", 2, "v2 %s %d", text, 42);
            if (HAP_debug_runtime)
                HAP_debug_runtime(3, "test_skel", 3, "runtime %s %x", text, 255u);
            return 0;
        }
        case M_SAMPLE: {
            if (nout != 1 || args[0].buf.nLen < 32)
                return 0x8000040e;
            uint8_t* out = (uint8_t*)args[0].buf.pv;
            uint64_t t = dsp_read_utimer();
            uint64_t c = dsp_read_upcycle();
            copy_bytes(out, &t, 8);
            copy_bytes(out + 8, &c, 8);
            if (!__HAP_register_pmu_group || !__HAP_read_pmu_group)
                return -1;
            if (!registered) {
                group.num_events = 3;
                group.events[0] = 0x0003;
                group.events[1] = 0x0111;
                group.events[2] = 0x0200;
                if (__HAP_register_pmu_group(&group) != 0)
                    return -1;
                registered = 1;
            }
            if (__HAP_read_pmu_group(&group) != 0)
                return -1;
            copy_bytes(out + 16, group.pmu_values, 12);
            return 0;
        }
        case M_CLOCK: {
            HAP_power_response_t r;
            for (uint32_t i = 0; i < sizeof r; ++i)
                ((uint8_t*)&r)[i] = 0;
            r.type = HAP_power_get_clk_Freq;
            int rc = HAP_power_get(0, &r);
            if (rc != 0)
                return rc;
            if (nout != 1 || args[0].buf.nLen < 4)
                return 0x8000040e;
            copy_bytes(args[0].buf.pv, &r.value.clkFreqHz, 4);
            return 0;
        }
        case M_TOUCH:
            if (nout != 1 || args[0].buf.nLen < 1)
                return 0x8000040e;
            ((uint8_t*)args[0].buf.pv)[0] = 0x5A;
            return 0;
        case M_DEINIT:
            if (!registered || !__HAP_deregister_pmu_group)
                return -1;
            registered = 0;
            return __HAP_deregister_pmu_group(group.group_id);
        case M_MALLOC: {
            uint32_t ok = __wrap_malloc(16) != 0;
            if (nout != 1 || args[0].buf.nLen < 4)
                return 0x8000040e;
            copy_bytes(args[0].buf.pv, &ok, 4);
            return 0;
        }
        default:
            (void)handle;
            return 0x80000414;
    }
}
