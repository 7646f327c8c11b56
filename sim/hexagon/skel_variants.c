/* Selection among the DSP library's copies: see skel_variants.h. Copy n has the optional
 * functions whose configuration flags make up n; skel_copies.h, generated from sim_options.h,
 * lists the copies. */
#include "skel_variants.h"

#include "sim_proto.h"

#define KESTREL_SKEL_COPY(n) \
    int kestrel_skel_handle_invoke_variant##n(remote_handle64, uint32_t, remote_arg*);
#include "skel_copies.h"
#undef KESTREL_SKEL_COPY

static const skel_invoke_fn variants[] = {
#define KESTREL_SKEL_COPY(n) kestrel_skel_handle_invoke_variant##n,
#include "skel_copies.h"
#undef KESTREL_SKEL_COPY
};

_Static_assert(sizeof variants / sizeof variants[0] == SIM_CFG_OPTIONS + 1u,
               "one copy per combination of the optional functions");

skel_invoke_fn skel_variant_entry(uint32_t flags) {
    return variants[flags & SIM_CFG_OPTIONS];
}
