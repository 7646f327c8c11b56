// The exporter's HTTP endpoint on libmicrohttpd: its listening sockets, whose connections one
// thread accepts and hands to the daemon serving now (http_daemon.h); a daemon of the other
// kind takes over when TLS is turned on or off.
#include "cpu/exporter/http_server.h"

#include <microhttpd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "cpu/exporter/http_daemon.h"
#include "cpu/exporter/listeners.h"

namespace vorlix::kestrel::exporter {

bool parse_listen_address(const std::string& text, ListenAddress* out, std::string* error) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        *error = "expected HOST:PORT";
        return false;
    }
    std::string host = text.substr(0, colon);
    const std::string port = text.substr(colon + 1);
    if (!host.empty() && host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') {
            *error = "an IPv6 address goes in brackets, as [::1]:PORT";
            return false;
        }
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string::npos) {
        *error = "an IPv6 address goes in brackets, as [::1]:PORT";
        return false;
    }
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos ||
        std::strtoul(port.c_str(), nullptr, 10) > 65535) {
        *error = "the port must be a number from 0 to 65535";
        return false;
    }
    out->host = host;
    out->port = static_cast<std::uint16_t>(std::strtoul(port.c_str(), nullptr, 10));
    return true;
}

MetricsServer::MetricsServer() : state_(std::make_unique<ServerState>()) {}

const ScrapeStats& MetricsServer::stats() const {
    return state_->stats;
}

MetricsServer::~MetricsServer() {
    stop();
}

bool MetricsServer::bind(const ListenAddress& address, std::string* error) {
    const int fd = bind_listener(address, error);
    if (fd < 0) {
        return false;
    }
    sockets_.push_back(fd);
    addresses_.push_back(listener_address(fd));
    return true;
}

bool MetricsServer::adopt_systemd_sockets(std::string* error) {
    std::vector<int> fds;
    if (!systemd_listeners(&fds, error)) {
        return false;
    }
    for (const int fd : fds) {
        sockets_.push_back(fd);
        addresses_.push_back(listener_address(fd));
    }
    return true;
}

std::vector<std::string> MetricsServer::bound_addresses() const {
    return addresses_;
}

bool MetricsServer::start_serving(const WebSettings& settings, Serving* out, std::string* error) {
    DaemonLimits limits;
    limits.connections = std::max(1u, state_->options.connections);
    auto context = std::make_unique<DaemonContext>(*state_, settings.tls != nullptr);
    MHD_Daemon* daemon = start_http_daemon(*context, settings, limits, error);
    if (daemon == nullptr) {
        return false;
    }
    out->daemon = daemon;
    out->context = std::move(context);
    out->tls = settings.tls != nullptr;
    return true;
}

void MetricsServer::stop_serving(Serving& serving) {
    if (serving.daemon != nullptr) {
        stop_http_daemon(serving.daemon, *serving.context);
    }
    serving = Serving{};
}

void MetricsServer::hand(int fd, const sockaddr* address, socklen_t length) {
    std::lock_guard<std::mutex> lock(serving_mutex_);
    if (serving_.daemon == nullptr) {
        close(fd);
        return;
    }
    // libmicrohttpd closes the socket itself when it cannot take it (a limit is reached).
    MHD_add_connection(serving_.daemon, fd, address, length);
}

bool MetricsServer::start(Render render, const ServerOptions& options,
                          std::shared_ptr<const WebSettings> settings, std::string* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_->render = std::move(render);
    state_->options = options;
    if (!settings) {
        settings = std::make_shared<WebSettings>();
    }
    state_->publish(settings);
    Serving serving;
    if (!start_serving(*settings, &serving, error)) {
        return false;
    }
    {
        std::lock_guard<std::mutex> serving_lock(serving_mutex_);
        serving_ = std::move(serving);
    }
    acceptor_ = std::make_unique<Acceptor>(
        sockets_,
        [this](int fd, const sockaddr* address, socklen_t length) { hand(fd, address, length); });
    return true;
}

bool MetricsServer::update(std::shared_ptr<const WebSettings> settings, std::string* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!settings) {
        settings = std::make_shared<WebSettings>();
    }
    if ((settings->tls != nullptr) == serving_.tls) {
        state_->publish(std::move(settings));
        return true;
    }
    // TLS on or off: a daemon of the new kind starts first, so that a failure leaves the
    // previous one serving with the previous settings.
    Serving next;
    if (!start_serving(*settings, &next, error)) {
        *error += "; the last good configuration stays in effect";
        return false;
    }
    state_->publish(std::move(settings));
    {
        std::lock_guard<std::mutex> serving_lock(serving_mutex_);
        std::swap(serving_, next);
    }
    stop_serving(next);
    return true;
}

void MetricsServer::stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    acceptor_.reset();
    Serving last;
    {
        std::lock_guard<std::mutex> serving_lock(serving_mutex_);
        std::swap(serving_, last);
    }
    stop_serving(last);
    for (const int fd : sockets_) {
        close(fd);
    }
    sockets_.clear();
}

}  // namespace vorlix::kestrel::exporter
