/* Entry point and exported values of the DSP library, as a DSP host (the platform's loader, the
 * virtual board, a test) reaches them. */
#ifndef KESTREL_DSP_KESTREL_SKEL_H
#define KESTREL_DSP_KESTREL_SKEL_H

#include <stdint.h>

#include "fastrpc/remote_types.h"
#include "kestrel.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Checks the scalars word and the argument array (native remote_arg elements: 8 bytes on the
 * 32-bit DSP, 16 on a 64-bit host) against the method's layout, runs the method and packs its
 * outputs. Returns 0, the method's failure (-1), KESTREL_ERROR_BAD_PARAMETER or
 * KESTREL_ERROR_UNSUPPORTED. */
KESTREL_EXPORT int kestrel_skel_handle_invoke(remote_handle64 h, uint32_t scalars,
                                              remote_arg* args);

/* KESTREL_SKEL_URI, NUL-terminated. */
KESTREL_EXPORT extern const char kestrel_skel_handle_invoke_uri[];
/* KESTREL_QAIC_VERSION. */
KESTREL_EXPORT extern const uint32_t kestrel_skel_handle_invoke_qaic_version;

#ifdef __cplusplus
}
#endif

#endif
