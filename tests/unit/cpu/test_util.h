// Helpers of the monitor's unit tests: capturing standard output and a fake sysfs for the SoC id.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace monitor_test {

// Runs `fn` and returns what it printed on standard output, byte for byte.
template <typename Fn>
std::string stdout_of(Fn&& fn) {
    fflush(stdout);
    testing::internal::CaptureStdout();
    std::forward<Fn>(fn)();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// A private sysfs tree that the umockdev preload library (LD_PRELOAD, set by the test's
// environment) shows in place of /sys while the object lives. In a cross build the tree is the
// emulator's path prefix (MONITOR_SYSFS_ROOT), shared by the tests, which run one at a time; the
// emulator decides once per process whether the file is there, so it must always exist when a
// test starts: the object leaves a placeholder behind.
class FakeSysfs {
  public:
    FakeSysfs() {
#ifdef MONITOR_SYSFS_ROOT
        root_ = MONITOR_SYSFS_ROOT;
        std::filesystem::create_directories(root_ / "sys/devices/soc0");
#else
        char pattern[] = "/tmp/kestrel-sysfs-XXXXXX";
        char* dir = mkdtemp(pattern);
        if (dir == nullptr) {
            ADD_FAILURE() << "mkdtemp failed";
            return;
        }
        root_ = dir;
        std::filesystem::create_directories(root_ / "sys/devices/soc0");
        setenv("UMOCKDEV_DIR", root_.c_str(), 1);
#endif
    }
    ~FakeSysfs() {
#ifdef MONITOR_SYSFS_ROOT
        set_soc_id("0\n");
        for (const auto& file : written_) {
            std::filesystem::remove(file);
        }
#else
        unsetenv("UMOCKDEV_DIR");
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
#endif
    }
    FakeSysfs(const FakeSysfs&) = delete;
    FakeSysfs& operator=(const FakeSysfs&) = delete;

    // The file's whole content.
    void set_soc_id(const std::string& content) {
        std::filesystem::remove_all(path());
        std::ofstream(path(), std::ios::binary) << content;
    }
    // A directory in place of the file: opening succeeds and reading fails.
    void make_unreadable() {
        std::filesystem::remove_all(path());
        std::filesystem::create_directories(path());
    }
    void remove() {
        std::filesystem::remove_all(path());
    }
    // Any other file of the tree, `relative` to its root ("sys/class/thermal/..."), with its
    // folders; removed again with the tree.
    void write(const std::string& relative, const std::string& content) {
        const std::filesystem::path file = root_ / relative;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << content;
        written_.push_back(file);
    }

  private:
    std::filesystem::path path() const {
        return root_ / "sys/devices/soc0/soc_id";
    }
    std::filesystem::path root_;
    std::vector<std::filesystem::path> written_;
};

}  // namespace monitor_test
