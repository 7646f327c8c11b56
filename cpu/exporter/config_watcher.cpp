// Polling the web configuration's files for changes.
#include "cpu/exporter/config_watcher.h"

#include <sys/stat.h>

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

std::string ConfigWatcher::stamp() const {
    std::string text;
    for (const std::string& file : files_()) {
        struct stat st {};
        if (stat(file.c_str(), &st) != 0) {
            text += "-;";
            continue;
        }
        text += fmt::format("{}:{}:{}:{}.{};", st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec,
                            st.st_mtim.tv_nsec);
    }
    return text;
}

void ConfigWatcher::run() {
    std::string last = stamp();
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, kPollInterval, [this] { return stopping_; })) {
        lock.unlock();
        const std::string now = stamp();
        if (now != last) {
            changed_();
            // The files may be different ones now: the stamp of the new list.
            last = stamp();
        }
        lock.lock();
    }
}

}  // namespace vorlix::kestrel::exporter
