/* Selection among the DSP library's copies: see skel_variants.h. Copy n has the optional
 * functions whose configuration flags make up n. */
#include "skel_variants.h"

#include "sim_proto.h"

#define SKEL_VARIANT(n) \
    int kestrel_skel_handle_invoke_variant##n(remote_handle64, uint32_t, remote_arg*);
SKEL_VARIANT(0)
SKEL_VARIANT(1)
SKEL_VARIANT(2)
SKEL_VARIANT(3)
SKEL_VARIANT(4)
SKEL_VARIANT(5)
SKEL_VARIANT(6)
SKEL_VARIANT(7)

_Static_assert(SIM_CFG_PMU == 1u && SIM_CFG_DEBUG_V2 == 2u && SIM_CFG_DEBUG_RUNTIME == 4u,
               "the copies are numbered by the configuration flags");

static const skel_invoke_fn variants[8] = {
    kestrel_skel_handle_invoke_variant0, kestrel_skel_handle_invoke_variant1,
    kestrel_skel_handle_invoke_variant2, kestrel_skel_handle_invoke_variant3,
    kestrel_skel_handle_invoke_variant4, kestrel_skel_handle_invoke_variant5,
    kestrel_skel_handle_invoke_variant6, kestrel_skel_handle_invoke_variant7,
};

skel_invoke_fn skel_variant_entry(uint32_t flags) {
    return variants[flags & 7u];
}
