// Watches files for changes by looking, when asked (once a second, from the run's main loop),
// at what stat(2) says of each: device, inode, size and modification time to the nanosecond. A
// file replaced (a new inode, as editors and tools that rename into place make) counts as
// changed as much as one rewritten in place, and so does a second edit within the same second.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace vorlix::kestrel::exporter {

// What stat(2) says of a file that tells a change: "-" for one it cannot look at.
std::string file_stamp(const std::string& path);

class ConfigWatcher {
  public:
    // `files` returns the files to watch (asked again after each change); `changed` runs in
    // look() when one of them changed since the look before it ran last, so that an edit made
    // while it runs is not lost; a file that joins the list counts as changed once. `read` are
    // the stamps of `files()` taken when they were last read (file_stamp): an edit made between
    // that reading and the watch is seen at the first look. Without them (or when they do not
    // match the files), the files are stamped now.
    ConfigWatcher(std::function<std::vector<std::string>()> files, std::function<void()> changed,
                  std::vector<std::string> read = {});

    // Looks at the files, and runs `changed` when one changed.
    void look();

  private:
    std::function<std::vector<std::string>()> files_;
    std::function<void()> changed_;
    std::vector<std::string> watched_;
    std::vector<std::string> stamps_;
};

}  // namespace vorlix::kestrel::exporter
