/* The DSP library's copies linked into the Hexagon DSP host, one per combination of the optional
 * runtime functions of sim_options.h (PMU group functions, HAP_debug_v2, HAP_debug_runtime). In
 * each copy the references to the functions the combination lacks are renamed to symbols nothing
 * defines, so that, as on a DSP image without them, the library's weak references are null. */
#ifndef KESTREL_SIM_HEXAGON_SKEL_VARIANTS_H
#define KESTREL_SIM_HEXAGON_SKEL_VARIANTS_H

#include <stdint.h>

#include "fastrpc/remote_types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef int (*skel_invoke_fn)(remote_handle64 handle, uint32_t scalars, remote_arg* args);

/* The entry point of the copy whose optional functions are those of the configuration flags
 * (the bits of SIM_CFG_OPTIONS; other bits are ignored). */
skel_invoke_fn skel_variant_entry(uint32_t flags);

#ifdef __cplusplus
}
#endif

#endif
