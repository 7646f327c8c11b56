// Looking at the web configuration's files for changes.
#include "cpu/exporter/config_watcher.h"

#include <sys/stat.h>

#include <algorithm>
#include <utility>

#include <fmt/format.h>

namespace vorlix::kestrel::exporter {

std::string file_stamp(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        return "-";
    }
    return fmt::format("{}:{}:{}:{}.{:09}", st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec,
                       st.st_mtim.tv_nsec);
}

ConfigWatcher::ConfigWatcher(std::function<std::vector<std::string>()> files,
                             std::function<void()> changed, std::vector<std::string> read)
    : files_(std::move(files)),
      changed_(std::move(changed)),
      watched_(files_()),
      stamps_(std::move(read)) {
    if (stamps_.size() != watched_.size()) {
        stamps_.clear();
        for (const std::string& file : watched_) {
            stamps_.push_back(file_stamp(file));
        }
    }
}

void ConfigWatcher::look() {
    std::vector<std::string> now;
    for (const std::string& file : watched_) {
        now.push_back(file_stamp(file));
    }
    if (now == stamps_) {
        return;
    }
    changed_();
    // The stamps taken before the reload read the files: an edit that lands while it reads
    // them differs from these, and is read at the next look.
    std::vector<std::string> named = files_();
    stamps_.clear();
    for (const std::string& file : named) {
        // A file newly named was read before it could be stamped: an empty stamp, which no
        // file has, reads it once more at the next look.
        const auto was = std::find(watched_.begin(), watched_.end(), file);
        stamps_.push_back(was != watched_.end() ? now[was - watched_.begin()] : std::string());
    }
    watched_ = std::move(named);
}

}  // namespace vorlix::kestrel::exporter
