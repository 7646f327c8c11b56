// The exporter's HTTP endpoint, served by libmicrohttpd on one or more listening sockets: the
// telemetry path (/metrics) with the text exposition, / a short page that links to it, 404 for
// anything else; optionally over TLS and behind passwords (the web configuration), with gzip
// for scrapers that accept it, a limit on requests in flight and per-client connection limits.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "cpu/exporter/basic_auth.h"
#include "cpu/exporter/scrape_stats.h"
#include "cpu/exporter/tls.h"

struct MHD_Daemon;

namespace vorlix::kestrel::exporter {

// Where to listen: a host (IPv4 or IPv6 literal, or a name) and a port (0 picks a free one).
struct ListenAddress {
    std::string host;
    std::uint16_t port = 0;
};

// Parses "HOST:PORT", "[IPV6]:PORT" or ":PORT" (every IPv4 address). False, with the reason in
// `error`, for anything else.
bool parse_listen_address(const std::string& text, ListenAddress* out, std::string* error);

// What the web configuration asks of the server; empty (plain HTTP, no passwords, no extra
// headers) without one.
struct WebSettings {
    std::shared_ptr<const TlsCredentials> tls;  // null for plain HTTP
    std::shared_ptr<BasicAuth> auth;            // null when no user is configured
    std::vector<std::pair<std::string, std::string>> headers;
};

struct ServerOptions {
    std::string telemetry_path = "/metrics";
    // Requests answered at once; those beyond get 503. 0 for no limit.
    unsigned max_requests = 40;
};

class MetricsServer {
  public:
    using Render = std::function<std::string()>;

    MetricsServer();
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Binds and listens on `address` (false, with the reason in `error`, when that fails).
    bool bind(const ListenAddress& address, std::string* error);
    // Takes the listening sockets systemd passed (socket activation).
    bool adopt_systemd_sockets(std::string* error);
    // The addresses listened on, as "HOST:PORT" ("[HOST]:PORT" for IPv6), ports as bound.
    std::vector<std::string> bound_addresses() const;

    // Its requests and answers so far (the exporter's own metrics), for as long as it lives.
    const ScrapeStats& stats() const;

    // Starts serving on every socket; each request for the telemetry path calls `render` on one
    // of the server's threads, and answers with what it returns.
    bool start(Render render, const ServerOptions& options,
               std::shared_ptr<const WebSettings> settings, std::string* error);
    // New requests get these settings, new connections their TLS credentials; turning TLS on
    // or off starts the server anew on the same sockets (requests in progress are cut).
    bool update(std::shared_ptr<const WebSettings> settings, std::string* error);
    // Stops serving and closes the sockets.
    void stop();

    // Shared with libmicrohttpd's callbacks.
    struct State;

  private:
    struct Listener {
        int fd = -1;
        std::string address;
        MHD_Daemon* daemon = nullptr;
    };
    bool start_daemon(Listener& listener, const WebSettings& settings, std::string* error);

    std::mutex mutex_;
    std::vector<Listener> listeners_;
    bool serving_tls_ = false;
    std::unique_ptr<State> state_;
};

}  // namespace vorlix::kestrel::exporter
