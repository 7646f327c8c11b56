// The checks of kestrel-doctor that call the platform, in a library of their own
// (libkestrel_doctor.so): it is linked with the sampling core and the FastRPC client library, and
// kestrel-doctor loads it by name only once it has seen that the FastRPC client library loads,
// so that the program itself starts on a board without that library.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cpu/sampling/board.h"
#include "cpu/sampling/session.h"

namespace vorlix::kestrel::doctor {

// The library's name, found as the dynamic loader finds libraries (the package installs it
// beside libkestrel.so), and its one entry point.
inline constexpr const char* kPlatformChecksLibrary = "libkestrel_doctor.so";
inline constexpr const char* kPlatformChecksEntry = "kestrel_doctor_platform_checks";
// Changes whenever PlatformChecks or the types it passes change.
inline constexpr std::uint32_t kPlatformChecksVersion = 1;

// What one live check found.
struct LiveResult {
    bool ok = false;
    Sample sample;             // the sample, when ok
    SessionFailure failure;    // the first step that failed, when not ok
    std::string failure_text;  // failure.describe()
};

struct PlatformChecks {
    std::uint32_t version;
    // The board's compute-DSP cores as the sampling core makes them of the platform's list for
    // the SoC `soc_id`. False, with what failed in `error`, when the platform cannot list them.
    bool (*list_cores)(std::uint32_t soc_id, std::vector<CoreTarget>* cores, std::string* error);
    // A session on `target` (in the legacy mode when `legacy`): open, one sample over
    // `window_ms`, close. Nothing stays open on the DSP afterwards.
    void (*live_check)(const CoreTarget& target, bool legacy, std::uint32_t window_ms,
                       LiveResult* out);
};

using PlatformChecksEntry = const PlatformChecks* (*)();

}  // namespace vorlix::kestrel::doctor
