// kestrel-doctor's run: the command line, then every link of the chain kestrel needs, in the
// order the chain needs them. A check whose link depends on a broken one is skipped and said to
// be; the others still run.
#pragma once

namespace vorlix::kestrel::doctor {

// Exit statuses.
inline constexpr int kAllPassed = 0;    // every check passed, warnings allowed
inline constexpr int kCheckFailed = 1;  // at least one failed (or the report could not be written)
inline constexpr int kBadCommandLine = 2;

int doctor_run(int argc, const char** argv);

}  // namespace vorlix::kestrel::doctor
