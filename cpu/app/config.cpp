#include "cpu/config.h"

#include <cstdio>

// Generated at build time from the source tree's git revision (see cmake/GitRevision.cmake).
#include "kestrel_revision.h"
// Generated at configure time from the project's version (see cpu/app/CMakeLists.txt).
#include "kestrel_version.h"

namespace vorlix::kestrel {

const std::string g_major_version = KESTREL_VERSION_MAJOR;
const std::string g_minor_version = KESTREL_VERSION_MINOR;
const std::string g_patch_version = KESTREL_VERSION_PATCH;
const std::string g_build_date = __DATE__ " " __TIME__;
const std::string g_build_commit_id = KESTREL_BUILD_COMMIT_ID;

std::string get_major_version() {
    return g_major_version;
}
std::string get_minor_version() {
    return g_minor_version;
}
std::string get_patch_version() {
    return g_patch_version;
}

std::string get_version() {
    return "V" + get_major_version() + "." + get_minor_version() + "." + get_patch_version();
}

std::string get_build_date() {
    return g_build_date;
}
std::string get_build_commit_id() {
    return g_build_commit_id;
}
unsigned long get_abi_version() {
    return 1UL;
}

void print_version_block() {
    std::printf("kestrel version %s\n", get_version().c_str());
    std::printf("  major version   : %s\n", get_major_version().c_str());
    std::printf("  minor version   : %s\n", get_minor_version().c_str());
    std::printf("  patch version   : %s\n", get_patch_version().c_str());
    std::printf("  build date      : %s\n", get_build_date().c_str());
    std::printf("  build commit id : %s\n", get_build_commit_id().c_str());
    std::printf("  abi version     : %lu\n", get_abi_version());
}

void print_program_version(const char* program) {
    std::printf("%s version %s\n", program, get_version().c_str());
    std::printf("  build date      : %s\n", get_build_date().c_str());
    std::printf("  build commit id : %s\n", get_build_commit_id().c_str());
}

}  // namespace vorlix::kestrel
