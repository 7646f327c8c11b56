/* HAP_debug_runtime of a DSP image that has it. */
#include "hexagon/hap_runtime.h"
#include "runtime.h"

void HAP_debug_runtime(int level, const char* file, int line, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    dsp_rt_vlog("HAP_debug_runtime", level, file, line, format, ap);
    va_end(ap);
}
