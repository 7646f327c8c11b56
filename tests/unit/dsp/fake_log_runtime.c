/* Fake of the optional HAP_debug_runtime: records the formatted record. */
#include <stdarg.h>

#include "fake_hap.h"

__attribute__((format(printf, 4, 5))) void HAP_debug_runtime(int level, const char* file, int line,
                                                             const char* format, ...) {
    va_list ap;
    ++fake_hap.calls;
    ++fake_hap.debug_runtime_calls;
    fake_hap.debug_runtime_last.level = level;
    fake_hap.debug_runtime_last.file = file;
    fake_hap.debug_runtime_last.line = line;
    va_start(ap, format);
    vsnprintf(fake_hap.debug_runtime_last.text, sizeof fake_hap.debug_runtime_last.text, format,
              ap);
    va_end(ap);
}
