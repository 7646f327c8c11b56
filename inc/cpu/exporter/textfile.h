// The exposition as a file for node_exporter's textfile collector: DIR/kestrel.prom, replaced
// atomically (written under a temporary name in the same directory, then renamed over it), so
// that the collector never reads half a file.
#pragma once

#include <mutex>
#include <string>

namespace vorlix::kestrel::exporter {

class TextfileWriter {
  public:
    explicit TextfileWriter(std::string directory);

    // Replaces the file with `text`. A failure is printed on standard error (once until the
    // next success) and returns false; the previous file then stays.
    bool write(const std::string& text);

    const std::string& path() const { return path_; }

  private:
    std::mutex mutex_;
    std::string directory_;
    std::string path_;
    bool failing_ = false;
};

}  // namespace vorlix::kestrel::exporter
