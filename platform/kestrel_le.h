/* Little-endian fields in byte buffers: every buffer that crosses between the application
 * processor and the DSP holds its integers in this order, whatever the processor's own order
 * and alignment rules. Freestanding (only <stdint.h>), for C and C++ alike: the stub library,
 * the DSP library, the virtual board's protocol and the tests use these. */
#ifndef KESTREL_LE_H
#define KESTREL_LE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

static inline uint32_t kestrel_le_get_u32(const uint8_t* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) {
        v = v << 8 | p[i];
    }
    return v;
}

static inline uint64_t kestrel_le_get_u64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) {
        v = v << 8 | p[i];
    }
    return v;
}

static inline void kestrel_le_put_u32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = v & 0xffu;
        v >>= 8;
    }
}

static inline void kestrel_le_put_u64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) {
        p[i] = v & 0xffu;
        v >>= 8;
    }
}

#ifdef __cplusplus
}
#endif

#endif
