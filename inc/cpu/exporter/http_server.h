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
    // or off starts the server anew on the same sockets (requests in progress are cut), as does
    // any update for a socket left without a server by an earlier one. When a socket cannot be
    // served after such a switch, every socket goes back to the previous settings. False, with
    // what failed in `error` and which sockets, if any, serve nothing, when a server could not
    // start.
    bool update(std::shared_ptr<const WebSettings> settings, std::string* error);
    // Stops serving and closes the sockets.
    void stop();

    // Shared with libmicrohttpd's callbacks.
    struct State;

  private:
    struct Listener {
        int fd = -1;  // the socket, which the daemons get duplicates of
        std::string address;
        MHD_Daemon* daemon = nullptr;  // null while nothing serves the socket
        bool tls = false;              // the daemon serves TLS
    };
    bool start_daemon(Listener& listener, const WebSettings& settings, std::string* error);
    // Stops the listener's daemon and takes its socket back; false, with the daemon still
    // serving, when libmicrohttpd cannot hand the socket back.
    bool stop_daemon(Listener& listener);
    // Starts a daemon for `settings` on every socket that has none, or one of the other kind
    // (plain or TLS), which stops first. False, with what failed in `error`, when one cannot
    // start: at the first such socket, or after trying them `all`.
    bool serve(const WebSettings& settings, bool all, std::string* error);
    // The settings new requests and connections get.
    void publish(std::shared_ptr<const WebSettings> settings);

    std::mutex mutex_;
    std::vector<Listener> listeners_;
    std::unique_ptr<State> state_;
};

}  // namespace vorlix::kestrel::exporter
