// Tests of the version values and the version block, and of the programs' colour rule.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>

#include "cpu/config.h"
#include "cpu/output.h"
#include "kestrel_version.h"

namespace {

namespace k = vorlix::kestrel;

TEST(Version, ComposedFromItsParts) {
    EXPECT_EQ(k::get_version(), "V" KESTREL_VERSION);
    EXPECT_EQ(k::get_major_version(), KESTREL_VERSION_MAJOR);
    EXPECT_EQ(k::get_minor_version(), KESTREL_VERSION_MINOR);
    EXPECT_EQ(k::get_patch_version(), KESTREL_VERSION_PATCH);
    EXPECT_EQ(k::get_abi_version(), 1UL);
}

TEST(Version, BuildValuesHaveTheirShapes) {
    EXPECT_TRUE(
        std::regex_match(k::get_build_date(), std::regex("[A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4} "
                                                         "[0-2][0-9]:[0-5][0-9]:[0-5][0-9]")))
        << k::get_build_date();
    EXPECT_TRUE(std::regex_match(k::get_build_commit_id(), std::regex("[0-9a-f]{7}|unknown")))
        << k::get_build_commit_id();
}

TEST(Version, BlockLinesUpTheColons) {
    ::testing::internal::CaptureStdout();
    k::print_version_block();
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string version_lines = "kestrel version V" KESTREL_VERSION
                                      "\n"
                                      "  major version   : " KESTREL_VERSION_MAJOR
                                      "\n"
                                      "  minor version   : " KESTREL_VERSION_MINOR
                                      "\n"
                                      "  patch version   : " KESTREL_VERSION_PATCH "\n";
    EXPECT_EQ(out, version_lines + "  build date      : " + k::g_build_date +
                       "\n"
                       "  build commit id : " +
                       k::g_build_commit_id +
                       "\n"
                       "  abi version     : 1\n");
}

TEST(Colour, AllowedWhileNoColorIsUnsetOrEmpty) {
    unsetenv("NO_COLOR");
    EXPECT_TRUE(k::colour_allowed());
    setenv("NO_COLOR", "", 1);
    EXPECT_TRUE(k::colour_allowed());
    setenv("NO_COLOR", "0", 1);
    EXPECT_FALSE(k::colour_allowed());
    unsetenv("NO_COLOR");
}

}  // namespace
