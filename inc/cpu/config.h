// Version and build information of the monitor.
#pragma once

#include <string>

namespace vorlix::kestrel {

extern const std::string g_major_version;
extern const std::string g_minor_version;
extern const std::string g_patch_version;
// The compiler's date and time of compilation, e.g. "Aug 11 2026 15:07:34".
extern const std::string g_build_date;
// Abbreviated revision id of the source tree the program was built from.
extern const std::string g_build_commit_id;

std::string get_major_version();
std::string get_minor_version();
std::string get_patch_version();
// "V" followed by major.minor.patch, e.g. "V1.0.0" for version 1.0.0.
std::string get_version();
std::string get_build_date();
std::string get_build_commit_id();
unsigned long get_abi_version();

// Prints the seven-line version block to standard output.
void print_version_block();

// The version block of the package's other programs (kestrel-exporter, kestrel-top,
// kestrel-doctor): "PROGRAM version V2.3.0", the build date and the build's commit id.
void print_program_version(const char* program);

}  // namespace vorlix::kestrel
