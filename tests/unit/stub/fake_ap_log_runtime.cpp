// Fake of the optional HAP_debug_runtime of the application processor: records each call with
// its format and the formatted text.
#include <cstdarg>
#include <cstdio>

#include "fake_fastrpc.h"

extern "C" __attribute__((format(printf, 4, 5))) void HAP_debug_runtime(int level, const char* file,
                                                                        int line,
                                                                        const char* format, ...) {
    LogCall call;
    call.level = level;
    call.file = file;
    call.line = line;
    call.format = format;
    char text[512];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    call.text = text;
    g_fake.runtime_logs.push_back(call);
}
