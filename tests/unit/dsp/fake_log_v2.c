/* Fake of the optional HAP_debug_v2: its presence is what the library tests; it only counts. */
#include "fake_hap.h"

__attribute__((format(printf, 4, 5))) void HAP_debug_v2(int level, const char* file, int line,
                                                        const char* format, ...) {
    (void)level;
    (void)file;
    (void)line;
    (void)format;
    ++fake_hap.calls;
    ++fake_hap.debug_v2_calls;
}
