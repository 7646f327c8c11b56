// The web configuration file of a running server: read at start, turned into the server's
// settings (TLS credentials, password checker, headers), and read again whenever it or a file
// it names changes (looked at once a second by the run's main thread, whose memory the
// reading's returns to the system afterwards). A bad edit keeps the last good settings and
// says so on standard error.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cpu/exporter/config_watcher.h"
#include "cpu/exporter/http_server.h"
#include "cpu/exporter/web_config.h"

namespace vorlix::kestrel::exporter {

// The settings of a checked configuration; false, with "KEY: reason" in `error`, when its TLS
// credentials cannot be used.
bool make_web_settings(const WebConfig& config, std::shared_ptr<const WebSettings>* out,
                       std::string* error);

class WebConfigFile {
  public:
    WebConfigFile() = default;
    ~WebConfigFile();
    WebConfigFile(const WebConfigFile&) = delete;
    WebConfigFile& operator=(const WebConfigFile&) = delete;

    // Reads `path`. False, with "PATH: KEY: reason" in `error`, when it is not usable.
    bool load(const std::string& path, std::string* error);
    std::shared_ptr<const WebSettings> settings() const;
    // From now on, each good change found by look() is handed to `server` (which must outlive
    // the watching: call stop first).
    void watch(MetricsServer& server);
    // Looks at the files, and reads them again when one changed (on the caller's thread).
    void look();
    void stop();

  private:
    bool read(const std::string& path, std::string* error);
    // The configuration file and the files it names.
    std::vector<std::string> files() const;
    void reload(MetricsServer& server);

    std::string path_;
    mutable std::mutex mutex_;
    std::vector<std::string> named_files_;
    // The stamps of files() as they were read: the configuration's before its reading, the
    // files it names right after.
    std::vector<std::string> stamps_;
    std::shared_ptr<const WebSettings> settings_;
    std::unique_ptr<ConfigWatcher> watcher_;
};

}  // namespace vorlix::kestrel::exporter
