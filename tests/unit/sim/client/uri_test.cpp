// Module URIs and the DSP library search through ADSP_LIBRARY_PATH.
#include <filesystem>

#include <gtest/gtest.h>

#include "sim_test_util.h"
#include "uri.h"

using kestrel_sim::find_library;
using kestrel_sim::parse_module_uri;
using kestrel_sim::split_search_path;
using sim_test::TempDir;
using sim_test::write_file;

namespace {

TEST(SimModuleUri, SplitsFileEntryAndDomain) {
    auto m = parse_module_uri(
        "file:///libkestrel_skel.so?kestrel_skel_handle_invoke&_modver=1.0&_dom=cdsp1");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->file, "libkestrel_skel.so");
    EXPECT_EQ(m->entry, "kestrel_skel_handle_invoke");
    EXPECT_EQ(m->domain, "cdsp1");

    auto first = parse_module_uri("file:///a.so?entry&_dom=nsp2&_modver=1.0");
    ASSERT_TRUE(first);
    EXPECT_EQ(first->domain, "nsp2");
    EXPECT_EQ(first->entry, "entry");

    auto none = parse_module_uri("file:///a.so?entry");
    ASSERT_TRUE(none);
    EXPECT_EQ(none->domain, "");
}

TEST(SimModuleUri, RefusesMalformedText) {
    for (const char* bad : {"", "file://a.so?e", "http:///a.so?e", "file:///a.so", "file:///?e",
                            "file:///a.so?", "file:///a.so?&_dom=cdsp"}) {
        EXPECT_FALSE(parse_module_uri(bad)) << bad;
    }
}

TEST(SimLibrarySearch, SplitsOnSemicolonsAndDropsEmptyEntries) {
    EXPECT_EQ(split_search_path("a;;b;"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(split_search_path(""), std::vector<std::string>{});
    EXPECT_EQ(split_search_path("/usr/lib/skel;./lib"),
              (std::vector<std::string>{"/usr/lib/skel", "./lib"}));
}

TEST(SimLibrarySearch, TakesTheFirstDirectoryInOrder) {
    TempDir dir;
    for (const char* d : {"a", "b", "c"})
        ASSERT_TRUE(std::filesystem::create_directories(dir.file(d)));
    write_file(dir.file("b/lib.so"), "b");
    write_file(dir.file("c/lib.so"), "c");
    const std::string path = dir.file("a") + ";" + dir.file("b") + ";" + dir.file("c");
    EXPECT_EQ(find_library("lib.so", path, "/"), dir.file("b/lib.so"));
    const std::string reversed = dir.file("c") + ";" + dir.file("b");
    EXPECT_EQ(find_library("lib.so", reversed, "/"), dir.file("c/lib.so"));
    EXPECT_FALSE(find_library("other.so", path, "/"));
    EXPECT_FALSE(find_library("lib.so", "", "/"));
}

TEST(SimLibrarySearch, RelativeEntriesCountFromTheWorkingDirectory) {
    TempDir dir;
    ASSERT_TRUE(std::filesystem::create_directories(dir.file("lib")));
    write_file(dir.file("lib/x.so"), "x");
    EXPECT_EQ(find_library("x.so", "/nonexistent;./lib", dir.path()), dir.path() + "/./lib/x.so");
    EXPECT_EQ(find_library("x.so", "lib", dir.path()), dir.path() + "/lib/x.so");
    EXPECT_FALSE(find_library("x.so", "./lib", "/"));
}

TEST(SimLibrarySearch, SkipsADirectoryOfTheLibrarysName) {
    TempDir dir;
    ASSERT_TRUE(std::filesystem::create_directories(dir.file("a/x.so")));
    ASSERT_TRUE(std::filesystem::create_directories(dir.file("b")));
    write_file(dir.file("b/x.so"), "x");
    EXPECT_EQ(find_library("x.so", dir.file("a") + ";" + dir.file("b"), "/"), dir.file("b/x.so"));
}

}  // namespace
