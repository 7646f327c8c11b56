// libmicrohttpd daemons of the exporter's server (one serves at a time; the previous one ends
// its connections during a switch): what their callbacks share (the server's state), the
// connections each has open, and how one starts and stops.
// A daemon is stopped only once it has no connection left: in libmicrohttpd 0.9.75 a daemon
// being stopped can still be parsing a connection's bytes on one of its threads, and a malformed
// request then (a TLS hello sent to a plain server after a switch, any bad request line) makes
// its error reply dereference a null response (MHD_queue_response answers yes without queuing
// once the daemon is shutting down) and crash the process. Nor does a daemon listen itself: its
// connections come from the server's own acceptor, because MHD_quiesce_daemon races with a
// thread pool's own handling of the listening socket in epoll and aborts the process.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>

#include "cpu/exporter/http_server.h"
#include "cpu/exporter/log.h"
#include "cpu/exporter/scrape_stats.h"
#include "cpu/exporter/tls_guard.h"
#include "cpu/exporter/verification_pool.h"

struct MHD_Daemon;

namespace vorlix::kestrel::exporter {

// What every daemon of one server shares.
struct ServerState {
    ServerState();

    MetricsServer::Render render;
    ServerOptions options;
    ScrapeStats stats;
    VerificationPool verifier;
    RateLimitedLog handshake_log;  // TLS handshakes that failed, by client address
    RateLimitedLog library_log;    // libmicrohttpd's own messages, by text

    // The settings of new requests and connections.
    std::shared_ptr<const WebSettings> current() const;
    void publish(std::shared_ptr<const WebSettings> settings);

  private:
    mutable std::mutex mutex_;
    std::shared_ptr<const WebSettings> settings_;
};

class DaemonContext;

// One connection, from its acceptance to its close.
struct ConnectionContext {
    DaemonContext* daemon = nullptr;
    int fd = -1;
    std::string address;                          // the client's, without the port
    std::shared_ptr<const WebSettings> settings;  // a TLS connection's credentials' owner
    std::shared_ptr<const TlsWatch> tls;          // null for plain HTTP
};

// One daemon: the server's state for its callbacks, and its open connections.
class DaemonContext {
  public:
    DaemonContext(ServerState& state, bool tls) : state_(state), tls_(tls) {}
    DaemonContext(const DaemonContext&) = delete;
    DaemonContext& operator=(const DaemonContext&) = delete;

    ServerState& state() const { return state_; }
    bool tls() const { return tls_; }

    void opened(ConnectionContext* connection);
    void closed(ConnectionContext* connection);
    // Shuts down the socket of every connection still open (libmicrohttpd then closes them);
    // how many there were.
    std::size_t shut_connections();

  private:
    ServerState& state_;
    const bool tls_;
    std::mutex mutex_;
    // Each is open until libmicrohttpd's close notification, which comes before it closes
    // the socket: a socket in here is still the connection's.
    std::unordered_set<ConnectionContext*> open_;
};

// Limits of one daemon.
struct DaemonLimits {
    unsigned connections = 1024;  // at once
    unsigned per_client = 64;     // at once from one client address
};

// Starts a daemon with `settings` (TLS or not) that serves the connections it is handed
// (MHD_add_connection). Null, with the reason in `error`, when libmicrohttpd cannot start.
MHD_Daemon* start_http_daemon(DaemonContext& context, const WebSettings& settings,
                              const DaemonLimits& limits, std::string* error);
// Stops a daemon that is handed no more connections, in order: every waiting password
// verification woken, every connection shut down and closed by the daemon, then the daemon
// stopped.
void stop_http_daemon(MHD_Daemon* daemon, DaemonContext& context);

}  // namespace vorlix::kestrel::exporter
