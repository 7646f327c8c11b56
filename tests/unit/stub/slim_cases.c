/* The descriptor as the stub library carries it (64-bit pointers on this host). */
#include "check.h"
#include "kestrel_slim.h"
#include "slim_check.h"

/* The descriptor walk uses no fake: nothing to reset. */
void check_case_setup(void) {}

static void descriptor(void) {
    check_slim_descriptor(&kestrel_slim);
}

const check_case check_cases[] = {{"descriptor", descriptor}};
const size_t check_case_count = sizeof check_cases / sizeof check_cases[0];
