// Where the FastRPC client library looks for the DSP library: ADSP_LIBRARY_PATH, to which every
// program of the monitor appends the directories the package installs it in.
#pragma once

#include <string>

namespace vorlix::kestrel {

inline constexpr const char* kDspLibraryPathVar = "ADSP_LIBRARY_PATH";
inline constexpr const char* kDspLibraryDirs = "/usr/lib/skel;./lib";

// `current` (null or empty: unset) with the directories appended after a ";" (left out when
// `current` already ends in one). Directories already present are appended once more.
std::string extended_dsp_library_path(const char* current);

// Stores the extended path in the environment. False when setenv fails.
bool extend_dsp_library_path();

}  // namespace vorlix::kestrel
