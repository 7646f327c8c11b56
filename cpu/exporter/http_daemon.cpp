// Starting and stopping the exporter's libmicrohttpd daemons.
#include "cpu/exporter/http_daemon.h"

#include <microhttpd.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>

#include "cpu/exporter/http_handler.h"

namespace vorlix::kestrel::exporter {

namespace {

// Until a connection's first request head is complete (the TLS handshake included); a client
// that opens connections and sends nothing holds them this long at most.
constexpr unsigned kRequestTimeoutSeconds = 10;
// Each connection's memory for its request head and the answer's head; a longer head is
// answered 414 or 431 by libmicrohttpd.
constexpr std::size_t kConnectionMemory = 32 * 1024;
// Threads per daemon: they parse requests and render answers; password verifications run in
// the verification pool.
constexpr unsigned kThreads = 4;
// Password verifications at once: threads, and in all and from one client address.
constexpr VerificationPool::Limits kVerifications{2, 8, 1};
// How long a daemon that stops waits for its connections to close once their sockets are shut
// down (they close at their next turn, in milliseconds); beyond it, it stops anyway.
constexpr std::chrono::seconds kDrainDeadline{2};

}  // namespace

ServerState::ServerState() : verifier(kVerifications) {}

std::shared_ptr<const WebSettings> ServerState::current() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return settings_;
}

void ServerState::publish(std::shared_ptr<const WebSettings> settings) {
    std::lock_guard<std::mutex> lock(mutex_);
    settings_ = std::move(settings);
}

void DaemonContext::opened(ConnectionContext* connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    open_.insert(connection);
}

void DaemonContext::closed(ConnectionContext* connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    open_.erase(connection);
}

std::size_t DaemonContext::shut_connections() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const ConnectionContext* connection : open_) {
        shutdown(connection->fd, SHUT_RDWR);
    }
    return open_.size();
}

MHD_Daemon* start_http_daemon(DaemonContext& context, const WebSettings& settings,
                              const DaemonLimits& limits, std::string* error) {
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO | MHD_USE_ERROR_LOG |
                     MHD_USE_ITC | MHD_USE_NO_LISTEN_SOCKET | MHD_ALLOW_SUSPEND_RESUME;
    const char* cert = "";
    const char* key = "";
    if (settings.tls) {
        flags |= MHD_USE_TLS;
        cert = settings.tls->cert_pem().c_str();
        key = settings.tls->key_pem().c_str();
    }
    // The logger comes first, so that libmicrohttpd's own messages all go through it. The
    // certificate and key only let a TLS daemon start: each connection's session gets the
    // current credentials when it starts (on_connection).
    MHD_Daemon* daemon = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &on_request, &context, MHD_OPTION_EXTERNAL_LOGGER,
        &on_library_message, &context.state(), MHD_OPTION_THREAD_POOL_SIZE, kThreads,
        MHD_OPTION_CONNECTION_TIMEOUT, kRequestTimeoutSeconds, MHD_OPTION_CONNECTION_LIMIT,
        limits.connections, MHD_OPTION_PER_IP_CONNECTION_LIMIT, limits.per_client,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, MHD_OPTION_URI_LOG_CALLBACK, &on_uri,
        &context, MHD_OPTION_NOTIFY_COMPLETED, &on_completed, &context,
        MHD_OPTION_NOTIFY_CONNECTION, &on_connection, &context,
        settings.tls ? MHD_OPTION_HTTPS_MEM_CERT : MHD_OPTION_END, cert, MHD_OPTION_HTTPS_MEM_KEY,
        key, MHD_OPTION_END);
    if (daemon == nullptr) {
        *error = std::string("libmicrohttpd could not start a ") +
                 (settings.tls ? "TLS" : "plain") + " server";
    }
    return daemon;
}

void stop_http_daemon(MHD_Daemon* daemon, DaemonContext& context) {
    // Requests waiting for a password verification are woken (a daemon must not stop with a
    // suspended connection), and no new one waits.
    context.state().verifier.close(&context);
    const auto deadline = std::chrono::steady_clock::now() + kDrainDeadline;
    std::size_t open = 0;
    while ((open = context.shut_connections()) != 0 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (open != 0) {
        log_line(LogLevel::kWarn, "http: " + std::to_string(open) +
                                      " connection(s) still open after their sockets were shut "
                                      "down; stopping the server anyway");
    }
    MHD_stop_daemon(daemon);
    context.state().verifier.forget(&context);
}

}  // namespace vorlix::kestrel::exporter
