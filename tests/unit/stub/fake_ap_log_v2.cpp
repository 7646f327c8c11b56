// Fake of the optional HAP_debug_v2 of the application processor: only counted, since the stub
// only tests for its presence.
#include "fake_fastrpc.h"

extern "C" __attribute__((format(printf, 4, 5))) void HAP_debug_v2(int, const char*, int,
                                                                   const char*, ...) {
    ++g_fake.v2_calls;
}
