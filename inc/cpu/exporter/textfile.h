// The exposition as a file for node_exporter's textfile collector: DIR/kestrel.prom, replaced
// atomically (written under a temporary name in the same directory, then renamed over it), so
// that the collector never reads half a file.
#pragma once

#include <functional>
#include <mutex>
#include <string>

namespace vorlix::kestrel::exporter {

class TextfileWriter {
  public:
    explicit TextfileWriter(std::string directory);

    // Replaces the file with what `render` returns, called under the writer's lock: the files
    // follow each other in the order their contents were taken, so that a counter in them never
    // goes back (a snapshot taken earlier cannot be renamed over a later one). A failure is
    // printed on standard error (once until the next success) and returns false; the previous
    // file then stays.
    bool write(const std::function<std::string()>& render);

    const std::string& path() const { return path_; }

  private:
    std::mutex mutex_;
    std::string directory_;
    std::string path_;
    bool failing_ = false;
};

}  // namespace vorlix::kestrel::exporter
