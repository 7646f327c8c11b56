/* Types shared by both ends of a FastRPC invocation: the session handle, the argument element
 * and the 32-bit scalars word that names a method and counts its arguments. */
#ifndef KESTREL_PLATFORM_REMOTE_TYPES_H
#define KESTREL_PLATFORM_REMOTE_TYPES_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Handle of an open session (application side) or of a module instance (DSP side). */
typedef uint64_t remote_handle64;

/* One element of an invocation's argument array: a buffer (pointer and length in bytes) or a
 * 64-bit handle. 16 bytes on a 64-bit processor, 8 bytes on the 32-bit DSP. */
typedef struct remote_buf {
    void* pv;
    size_t nLen;
} remote_buf;

typedef union remote_arg {
    remote_buf buf;
    remote_handle64 h64;
} remote_arg;

/* Scalars word: bits 31-29 attributes, 28-24 method index, 23-16 input buffers, 15-8 output
 * buffers, 7-4 input handles, 3-0 output handles. The argument array holds input buffers,
 * output buffers, input handles, output handles, in that order. */
static inline uint32_t remote_scalars_make(uint32_t method, uint32_t in_bufs, uint32_t out_bufs,
                                           uint32_t in_handles, uint32_t out_handles) {
    return ((method & 0x1fu) << 24) | ((in_bufs & 0xffu) << 16) | ((out_bufs & 0xffu) << 8) |
           ((in_handles & 0x0fu) << 4) | (out_handles & 0x0fu);
}
static inline uint32_t remote_scalars_attributes(uint32_t sc) {
    return (sc >> 29) & 0x7u;
}
static inline uint32_t remote_scalars_method(uint32_t sc) {
    return (sc >> 24) & 0x1fu;
}
static inline uint32_t remote_scalars_in_bufs(uint32_t sc) {
    return (sc >> 16) & 0xffu;
}
static inline uint32_t remote_scalars_out_bufs(uint32_t sc) {
    return (sc >> 8) & 0xffu;
}
static inline uint32_t remote_scalars_in_handles(uint32_t sc) {
    return (sc >> 4) & 0x0fu;
}
static inline uint32_t remote_scalars_out_handles(uint32_t sc) {
    return sc & 0x0fu;
}
/* Total number of elements in the argument array. */
static inline uint32_t remote_scalars_length(uint32_t sc) {
    return remote_scalars_in_bufs(sc) + remote_scalars_out_bufs(sc) +
           remote_scalars_in_handles(sc) + remote_scalars_out_handles(sc);
}

#ifdef __cplusplus
}
#endif

#endif
