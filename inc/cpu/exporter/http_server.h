// The exporter's HTTP endpoint, served by libmicrohttpd on one or more listening sockets: the
// telemetry path (/metrics) with the text exposition, / a short page that links to it, 404 for
// anything else; optionally over TLS and behind passwords (the web configuration), with gzip
// for scrapers that accept it, a limit on requests in flight and per-client connection limits.
#pragma once

#include <sys/socket.h>

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

class DaemonContext;
struct ServerState;

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
    // Connections open at once, over every listening socket (shared out among them); the
    // descriptor limit decides it (descriptor_limit.h).
    unsigned connections = 1024;
};

class Acceptor;

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
    // New requests get these settings, new connections their TLS credentials. Turning TLS on
    // or off starts a server of the other kind, which takes every new connection from then on,
    // while the previous one ends its connections (requests in progress are cut) and stops.
    // False, with what failed in `error`, when the new server cannot start: the previous
    // settings then stay in effect.
    bool update(std::shared_ptr<const WebSettings> settings, std::string* error);
    // Stops serving and closes the sockets.
    void stop();

  private:
    // The daemon that takes the new connections of every socket.
    struct Serving {
        MHD_Daemon* daemon = nullptr;
        std::unique_ptr<DaemonContext> context;
        bool tls = false;
    };
    bool start_serving(const WebSettings& settings, Serving* out, std::string* error);
    // Stops a daemon that takes no more connections, once its connections have closed
    // (http_daemon.h).
    void stop_serving(Serving& serving);
    // Hands a new connection to the daemon serving now.
    void hand(int fd, const sockaddr* address, socklen_t length);

    std::mutex mutex_;  // start, update and stop, one at a time
    std::vector<int> sockets_;
    std::vector<std::string> addresses_;
    std::unique_ptr<ServerState> state_;
    std::mutex serving_mutex_;  // the serving daemon, as the acceptor's thread sees it
    Serving serving_;
    std::unique_ptr<Acceptor> acceptor_;
};

}  // namespace vorlix::kestrel::exporter
