// Watches files for changes by polling, once a second, what stat(2) says of each: device,
// inode, size and modification time. A file replaced (a new inode, as editors and tools that
// rename into place make) counts as changed as much as one rewritten in place.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vorlix::kestrel::exporter {

class ConfigWatcher {
  public:
    // `files` returns the files to watch (asked again after each change); `changed` runs on the
    // watcher's thread when one of them changed since the look before it ran last, so that an
    // edit made while it runs is not lost; a file that joins the list counts as changed once.
    ConfigWatcher(std::function<std::vector<std::string>()> files, std::function<void()> changed);
    ~ConfigWatcher();
    ConfigWatcher(const ConfigWatcher&) = delete;
    ConfigWatcher& operator=(const ConfigWatcher&) = delete;

  private:
    // What stat(2) says of each file, "-" for one it cannot look at.
    static std::vector<std::string> stamps(const std::vector<std::string>& files);
    void run();

    std::function<std::vector<std::string>()> files_;
    std::function<void()> changed_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace vorlix::kestrel::exporter
