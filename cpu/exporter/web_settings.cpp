// The web configuration file, at start and when it changes.
#include "cpu/exporter/web_settings.h"

#include <malloc.h>

#include "cpu/exporter/log.h"

namespace vorlix::kestrel::exporter {

namespace {

std::vector<std::string> named_files(const WebConfig& config) {
    std::vector<std::string> files;
    if (config.tls) {
        for (const std::string* file : {&config.tls_server.cert_file, &config.tls_server.key_file,
                                        &config.tls_server.client_ca_file}) {
            if (!file->empty()) {
                files.push_back(*file);
            }
        }
    }
    return files;
}

}  // namespace

bool make_web_settings(const WebConfig& config, std::shared_ptr<const WebSettings>* out,
                       std::string* error) {
    auto settings = std::make_shared<WebSettings>();
    if (config.tls) {
        settings->tls = TlsCredentials::create(config.tls_server, error);
        if (!settings->tls) {
            return false;
        }
    }
    if (!config.users.empty()) {
        settings->auth = std::make_shared<BasicAuth>(config.users);
    }
    settings->headers = config.headers;
    *out = std::move(settings);
    return true;
}

WebConfigFile::~WebConfigFile() {
    stop();
}

bool WebConfigFile::load(const std::string& path, std::string* error) {
    const bool loaded = read(path, error);
    // The reading's memory (a parsed file up to the cap can take a hundred times its size)
    // goes back to the system, not only to the allocator; it does for the main thread's, whose
    // arena malloc_trim shrinks (a thread's arena keeps its top).
    malloc_trim(0);
    return loaded;
}

bool WebConfigFile::read(const std::string& path, std::string* error) {
    WebConfig config;
    std::shared_ptr<const WebSettings> settings;
    std::string why;
    std::vector<std::string> stamps{file_stamp(path)};
    if (!load_web_config(path, &config, error)) {
        return false;
    }
    if (!make_web_settings(config, &settings, &why)) {
        *error = path + ": " + why;
        return false;
    }
    const std::vector<std::string> named = named_files(config);
    for (const std::string& file : named) {
        stamps.push_back(file_stamp(file));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    path_ = path;
    named_files_ = named;
    stamps_ = std::move(stamps);
    settings_ = std::move(settings);
    return true;
}

std::shared_ptr<const WebSettings> WebConfigFile::settings() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return settings_;
}

std::vector<std::string> WebConfigFile::files() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> files{path_};
    files.insert(files.end(), named_files_.begin(), named_files_.end());
    return files;
}

void WebConfigFile::reload(MetricsServer& server) {
    std::string error;
    std::string path;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        path = path_;
    }
    if (!load(path, &error)) {
        log_line(LogLevel::kError,
                 "web config " + error + "; the last good configuration stays in effect");
        return;
    }
    if (!server.update(settings(), &error)) {
        log_line(LogLevel::kError, "web config " + path + ": " + error);
        return;
    }
    log_line(LogLevel::kInfo, "web config " + path + " read again: in effect for new connections");
}

void WebConfigFile::watch(MetricsServer& server) {
    std::vector<std::string> read;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        read = stamps_;
    }
    watcher_ = std::make_unique<ConfigWatcher>([this] { return files(); },
                                               [this, &server] { reload(server); }, read);
}

void WebConfigFile::look() {
    if (watcher_) {
        watcher_->look();
    }
}

void WebConfigFile::stop() {
    watcher_.reset();
}

}  // namespace vorlix::kestrel::exporter
