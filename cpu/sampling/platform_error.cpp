// The platform's results in words.
#include "cpu/sampling/platform_error.h"

#include <cstdint>

namespace vorlix::kestrel {

namespace {

struct Meaning {
    std::uint32_t code;
    const char* text;
};

// FastRPC's results (0x800006xx), the skeleton's refusals of a call and the DSP service's
// failure.
constexpr Meaning kMeanings[] = {
    {0xffffffffu, "the DSP library refused the request"},
    {0x8000040eu, "the DSP library refused the call's parameters"},
    {0x80000414u, "the DSP library does not know the method"},
    {0x80000601u, "null or malformed arguments"},
    {0x80000602u, "malformed module URI"},
    {0x80000603u, "no such DSP domain"},
    {0x80000604u, "the DSP library is not in ADSP_LIBRARY_PATH"},
    {0x80000605u, "the DSP could not load the library"},
    {0x80000606u, "the DSP library has no entry point"},
    {0x80000607u, "the session is not open"},
    {0x80000608u, "the DSP process died or could not start"},
    {0x80000609u, "unsigned PD refused on this DSP"},
    {0x8000060au, "the device node is missing or not readable and writable"},
    {108u, "the platform does not implement the request"},
};

}  // namespace

const char* platform_error_meaning(int code) {
    const auto wanted = static_cast<std::uint32_t>(code);
    for (const Meaning& meaning : kMeanings) {
        if (meaning.code == wanted) {
            return meaning.text;
        }
    }
    return nullptr;
}

}  // namespace vorlix::kestrel
