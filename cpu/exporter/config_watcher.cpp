// Polling the web configuration's files for changes.
#include "cpu/exporter/config_watcher.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <utility>

#include <fmt/format.h>

namespace vorlix::kestrel::exporter {

namespace {

constexpr std::chrono::seconds kPollInterval{1};

}  // namespace

ConfigWatcher::ConfigWatcher(std::function<std::vector<std::string>()> files,
                             std::function<void()> changed)
    : files_(std::move(files)), changed_(std::move(changed)) {
    thread_ = std::thread([this] { run(); });
}

ConfigWatcher::~ConfigWatcher() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

std::vector<std::string> ConfigWatcher::stamps(const std::vector<std::string>& files) {
    std::vector<std::string> out;
    for (const std::string& file : files) {
        struct stat st {};
        if (stat(file.c_str(), &st) != 0) {
            out.emplace_back("-");
            continue;
        }
        out.push_back(fmt::format("{}:{}:{}:{}.{}", st.st_dev, st.st_ino, st.st_size,
                                  st.st_mtim.tv_sec, st.st_mtim.tv_nsec));
    }
    return out;
}

void ConfigWatcher::run() {
    std::vector<std::string> files = files_();
    std::vector<std::string> last = stamps(files);
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, kPollInterval, [this] { return stopping_; })) {
        lock.unlock();
        const std::vector<std::string> now = stamps(files);
        if (now != last) {
            changed_();
            // The stamps taken before the reload read the files: an edit that lands while it
            // reads them differs from these, and is read at the next look.
            std::vector<std::string> named = files_();
            last.clear();
            for (const std::string& file : named) {
                // A file newly named was read before it could be stamped: an empty stamp,
                // which no file has, reads it once more at the next look.
                const auto was = std::find(files.begin(), files.end(), file);
                last.push_back(was != files.end() ? now[was - files.begin()] : std::string());
            }
            files = std::move(named);
        }
        lock.lock();
    }
}

}  // namespace vorlix::kestrel::exporter
