/* Walks an interface descriptor and checks every count, name, offset and record against the
 * method table of the remote interface. */
#ifndef KESTREL_TESTS_IDL_SLIM_CHECK_H
#define KESTREL_TESTS_IDL_SLIM_CHECK_H

#include "kestrel_slim.h"

#ifdef __cplusplus
extern "C" {
#endif

void check_slim_descriptor(const kestrel_slim_interface* slim);

#ifdef __cplusplus
}
#endif

#endif
