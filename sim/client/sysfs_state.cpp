#include "sysfs_state.h"

#include <fcntl.h>
#include <unistd.h>

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>

namespace kestrel_sim {
namespace {

namespace fs = std::filesystem;

// A copy of the tree at `from`, in a new folder under TMPDIR; empty when it cannot be made. The
// dev folder stays the shared tree's (a link to it): its nodes keep their owner and group, which
// a copy made by another user would lose, and they never change.
std::string copy_tree(const std::string& from) {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kestrel-sim-sysfs-XXXXXX";
    if (::mkdtemp(dir.data()) == nullptr)
        return std::string();
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(from, ec)) {
        const fs::path to = fs::path(dir) / entry.path().filename();
        if (entry.path().filename() == "dev") {
            fs::create_directory_symlink(fs::absolute(entry.path(), ec), to, ec);
        } else {
            fs::copy(entry.path(), to,
                     fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
        }
        if (ec)
            break;
    }
    if (ec) {
        fs::remove_all(dir, ec);
        return std::string();
    }
    return dir;
}

// Writes the file's new contents in place, as the kernel changes a sysfs attribute: the file
// stays the same, so that a program that keeps it open and reads it again from its start sees
// the new text. The states are written in one write each.
void replace_file(const std::string& path, const std::string& text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    if (::pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()))
        (void)::ftruncate(fd, static_cast<off_t>(text.size()));
    ::close(fd);
}

}  // namespace

std::unique_ptr<SysfsStates> SysfsStates::start(const Board& board,
                                                std::chrono::steady_clock::time_point started) {
    const char* shared = std::getenv("UMOCKDEV_DIR");
    if (board.dsp_crashes.empty() || shared == nullptr || *shared == '\0')
        return nullptr;
    std::string tree = copy_tree(shared);
    if (tree.empty())
        return nullptr;
    std::unique_ptr<SysfsStates> states(new SysfsStates(board, started, std::move(tree)));
    ::setenv("UMOCKDEV_DIR", states->tree_.c_str(), 1);
    return states;
}

SysfsStates::SysfsStates(const Board& board, std::chrono::steady_clock::time_point started,
                         std::string tree)
    : board_(board), started_(started), tree_(std::move(tree)) {
    write_states(0);
    thread_ = std::thread([this] { run(); });
}

SysfsStates::~SysfsStates() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
    std::error_code ec;
    fs::remove_all(tree_, ec);
}

void SysfsStates::write_states(uint64_t t_ms) const {
    for (const auto& d : board_.domains) {
        const auto n = board_.remoteproc_number(d.name);
        bool crashes = false;
        for (const auto& c : board_.dsp_crashes)
            crashes = crashes || c.domain == d.name;
        if (!n || !crashes)
            continue;
        replace_file(tree_ + "/sys/class/remoteproc/remoteproc" + std::to_string(*n) + "/state",
                     board_.dsp_state(d, t_ms) + "\n");
    }
}

void SysfsStates::run() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
        const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - started_);
        const uint64_t t = static_cast<uint64_t>(std::max<int64_t>(0, now.count()));
        std::optional<uint64_t> next;
        for (const auto& c : board_.dsp_crashes) {
            const auto change = c.next_change(t);
            if (change && (!next || *change < *next))
                next = change;
        }
        if (!next) {
            wake_.wait(lock, [this] { return stop_; });
            return;
        }
        if (wake_.wait_until(lock, started_ + std::chrono::milliseconds(*next),
                             [this] { return stop_; })) {
            return;
        }
        write_states(*next);
    }
}

}  // namespace kestrel_sim
