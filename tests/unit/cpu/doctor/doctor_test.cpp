// kestrel-doctor's checks below the report: the search of the DSP library path, the ELF
// identification of what it finds, who may use a device node and the fix for one who may not,
// and how hot a zone runs against its trip points.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cpu/doctor/links.h"

namespace {

namespace fs = std::filesystem;
using namespace vorlix::kestrel::doctor;
using vorlix::kestrel::ThermalZone;

// A private folder, removed with the object.
class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/kestrel-doctor-XXXXXX";
        const char* dir = mkdtemp(pattern);
        EXPECT_NE(dir, nullptr);
        path_ = dir != nullptr ? dir : "/tmp";
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string file(const std::string& name, const std::string& bytes) const {
        const fs::path file = path_ / name;
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << bytes;
        return file.string();
    }
    std::string path() const { return path_.string(); }

  private:
    fs::path path_;
};

// The first 20 bytes of an ELF header: class, byte order and e_machine as given.
std::string elf_header(unsigned char elf_class, unsigned char byte_order, unsigned machine) {
    std::string header = {
        '\x7f', 'E', 'L', 'F', static_cast<char>(elf_class), static_cast<char>(byte_order), 1};
    header.resize(18, '\0');
    const char low = static_cast<char>(machine & 0xff);
    const char high = static_cast<char>(machine >> 8);
    header += byte_order == 2 ? std::string{high, low} : std::string{low, high};
    return header + std::string(32, '\0');
}

TEST(DspLibraryPath, EntriesInOrderWithoutEmptyOnes) {
    EXPECT_EQ(search_path_entries(";a;;b/c;"), (std::vector<std::string>{"a", "b/c"}));
    EXPECT_TRUE(search_path_entries(";;").empty());
}

TEST(DspLibraryPath, TheFirstFolderThatHoldsTheLibraryWinsAndRelativeOnesStartHere) {
    TempDir dir;
    dir.file("second/libx.so", "second");
    dir.file("third/libx.so", "third");
    fs::create_directories(dir.path() + "/first/libx.so");  // a folder of that name is no library
    const std::string path = dir.path() + "/none;" + dir.path() + "/first;;" + dir.path() +
                             "/second;" + dir.path() + "/third";
    EXPECT_EQ(find_in_search_path(path, "libx.so"), dir.path() + "/second/libx.so");
    EXPECT_EQ(find_in_search_path(dir.path() + "/none", "libx.so"), "");

    const fs::path here = fs::current_path();
    fs::current_path(dir.path());
    EXPECT_EQ(find_in_search_path("third", "libx.so"), "third/libx.so");
    fs::current_path(here);
}

TEST(ElfIdentity, OnlyA32BitHexagonFileIsTheDspsInEitherByteOrder) {
    TempDir dir;
    struct Case {
        std::string bytes;
        bool elf;
        unsigned elf_class;
        unsigned machine;
        bool hexagon;
    };
    const Case cases[] = {
        {elf_header(1, 1, 164), true, 1, 164, true},
        {elf_header(1, 2, 164), true, 1, 164, true},  // big-endian e_machine read as such
        {elf_header(2, 1, 164), true, 2, 164, false},
        {elf_header(2, 1, 62), true, 2, 62, false},
        {elf_header(1, 1, 40), true, 1, 40, false},
        {elf_header(1, 1, 164).substr(0, 19), false, 0, 0, false},  // cut inside e_machine
        {"#!/bin/sh\nexit 0\n", false, 0, 0, false},
        {"", false, 0, 0, false},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string file = dir.file("lib" + std::to_string(n++) + ".so", c.bytes);
        ElfIdentity identity{true, 77, 777};  // poisoned: every field must be written
        EXPECT_EQ(read_elf_identity(file, &identity), 0) << n;
        EXPECT_EQ(identity.elf, c.elf) << n;
        EXPECT_EQ(identity.elf_class, c.elf_class) << n;
        EXPECT_EQ(identity.machine, c.machine) << n;
        EXPECT_EQ(is_hexagon_elf(identity), c.hexagon) << n;
    }
    ElfIdentity identity{true, 77, 777};
    EXPECT_EQ(read_elf_identity(dir.path() + "/missing.so", &identity), ENOENT);
    EXPECT_FALSE(identity.elf);
}

TEST(DeviceNodeAccess, TheOwnersTheGroupsOrTheOthersBitsDecideAndRootMayAlways) {
    DeviceNode node;
    node.owner = 1000;
    node.group = 44;
    Identity who;
    who.uid = 1000;
    who.process_groups = {44};
    node.mode = 0066;  // the owner's bits apply to the owner, though group and others may
    EXPECT_FALSE(may_read_write(node, who));
    node.mode = 0466;
    EXPECT_FALSE(may_read_write(node, who));  // the owner may only read
    node.mode = 0600;
    EXPECT_TRUE(may_read_write(node, who));

    who.uid = 1001;  // a member of the group
    node.mode = 0660;
    EXPECT_TRUE(may_read_write(node, who));
    node.mode = 0606;  // the group's bits apply to a member, though others may
    EXPECT_FALSE(may_read_write(node, who));

    who.process_groups = {100};  // anyone else
    EXPECT_TRUE(may_read_write(node, who));
    node.mode = 0660;
    EXPECT_FALSE(may_read_write(node, who));

    who.uid = 0;
    node.mode = 0000;
    EXPECT_TRUE(may_read_write(node, who));
}

TEST(DeviceNodeFix, JoinTheGroupLogInAgainOrChangeTheMode) {
    DeviceNode node;
    node.group = 44;
    node.mode = 0660;
    Identity who;
    who.process_groups = {100, 27};
    who.account_groups = {100, 27};
    EXPECT_EQ(node_fix(node, who), NodeFix::kJoinGroup);
    who.account_groups.push_back(44);  // added to the group since this login
    EXPECT_EQ(node_fix(node, who), NodeFix::kLogInAgain);
    who.process_groups.push_back(44);  // in the group, and denied all the same
    EXPECT_EQ(node_fix(node, who), NodeFix::kGroupMode);

    node.mode = 0640;  // the group may only read: joining it is not enough
    who.process_groups = {100};
    who.account_groups = {100};
    EXPECT_EQ(node_fix(node, who), NodeFix::kGroupMode);
}

TEST(Heat, WarmFromFiveDegreesBelowThePassiveTripPointAndCriticalFromTheCriticalOne) {
    ThermalZone zone{"nsp0", 0.0, {{"passive", 95.0}, {"critical", 115.0}}};
    const std::pair<double, Heat> cases[] = {
        {89.9, Heat::kCool},    {90.0, Heat::kNearPassive}, {94.9, Heat::kNearPassive},
        {95.0, Heat::kPassive}, {114.9, Heat::kPassive},    {115.0, Heat::kCritical},
    };
    for (const auto& [celsius, heat] : cases) {
        zone.celsius = celsius;
        EXPECT_EQ(heat_of(zone), heat) << celsius;
    }
    // Without a passive trip point only the critical one counts.
    const ThermalZone critical_only{"nsp1", 114.0, {{"critical", 115.0}}};
    EXPECT_EQ(heat_of(critical_only), Heat::kCool);
}

}  // namespace
