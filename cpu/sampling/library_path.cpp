// The DSP library search path.
#include "cpu/sampling/library_path.h"

#include <cstdlib>

namespace vorlix::kestrel {

std::string extended_dsp_library_path(const char* current) {
    std::string value = current != nullptr ? current : "";
    if (!value.empty() && value.back() != ';') {
        value += ';';
    }
    return value + kDspLibraryDirs;
}

bool extend_dsp_library_path() {
    const std::string value = extended_dsp_library_path(std::getenv(kDspLibraryPathVar));
    return setenv(kDspLibraryPathVar, value.c_str(), 1) == 0;
}

}  // namespace vorlix::kestrel
