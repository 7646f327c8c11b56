// The exporter's HTTP endpoint on libmicrohttpd.
#include "cpu/exporter/http_server.h"

#include <fcntl.h>
#include <microhttpd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "cpu/exporter/compression.h"
#include "cpu/exporter/exposition.h"
#include "cpu/exporter/listeners.h"

namespace vorlix::kestrel::exporter {

// libmicrohttpd 0.9.71 and later type their callbacks' results.
#if MHD_VERSION >= 0x00097002
using HandlerResult = MHD_Result;
#else
using HandlerResult = int;
#endif

using Clock = std::chrono::steady_clock;

struct MetricsServer::State {
    Render render;
    ServerOptions options;
    ScrapeStats stats;
    std::mutex mutex;
    std::shared_ptr<const WebSettings> settings;

    std::shared_ptr<const WebSettings> current() {
        std::lock_guard<std::mutex> lock(mutex);
        return settings;
    }
};

namespace {

constexpr const char* kIndexPage =
    "<!DOCTYPE html>\n"
    "<html><head><title>kestrel exporter</title></head>\n"
    "<body><h1>kestrel exporter</h1>\n"
    "<p>Load of the Hexagon compute DSPs of this board: <a href=\"{PATH}\">metrics</a>.</p>\n"
    "</body></html>\n";
constexpr const char* kText = "text/plain; charset=utf-8";
constexpr const char* kRealm = "Basic realm=\"kestrel-exporter\"";

// Until a connection's first request head is complete (the TLS handshake included); a client
// that opens connections and sends nothing holds them this long at most.
constexpr unsigned kRequestTimeoutSeconds = 10;
// An idle keep-alive connection after an answer; longer than usual scrape intervals.
constexpr unsigned kKeepAliveTimeoutSeconds = 120;
// Connections at once, in all, and from one client address: one client cannot hold them all.
constexpr unsigned kConnectionLimit = 1024;
constexpr unsigned kPerClientConnectionLimit = 64;
// Each connection's memory for its request head and the answer's head; a longer head is
// answered 414 or 431 by libmicrohttpd.
constexpr std::size_t kConnectionMemory = 32 * 1024;
// Threads per listening socket: a slow request (a first bcrypt verification) holds one.
constexpr unsigned kThreads = 4;

// One request, from its request line to the end of its answer.
struct Request {
    bool begun = false;  // the head is in, counted in flight
    bool telemetry = false;
    unsigned in_flight = 0;  // requests in flight when its head came, itself included
    unsigned code = 0;       // the status queued, 0 while none
    Clock::time_point start;
};

// One connection: the settings its TLS session was given, kept as long as the session.
struct Connection {
    std::shared_ptr<const WebSettings> settings;
};

// Whether the running libmicrohttpd is one in whose request buffer on_uri may cut the query:
// those known to pass the row that guards it (below).
bool query_may_be_cut() {
    static const bool known = std::strcmp(MHD_get_version(), "0.9.75") == 0;
    return known;
}

// The request line's URI, before libmicrohttpd splits the query into arguments. The exporter
// reads no argument, so the query is cut off here: libmicrohttpd then stores none, and a query
// of thousands of parameters cannot exhaust the connection's memory (which, in 0.9.75, leaves
// such a request without any answer until the connection times out).
// `uri` points into libmicrohttpd's own buffer of the request line, which it splits into
// arguments after this call: writing there is outside its interface and works by the layout of
// the versions query_may_be_cut knows. The row of 500 parameters in
// HeldConnectionsAndOversizedRequestsDoNotStopOtherScrapes (tests/e2e/exporter_web_test.cpp)
// guards it: after a libmicrohttpd upgrade, run that row against the new version before adding
// it there. Under any other version the query is left whole.
void* on_uri(void* /*cls*/, const char* uri, MHD_Connection* /*connection*/) {
    if (query_may_be_cut()) {
        char* query = std::strchr(const_cast<char*>(uri), '?');
        if (query != nullptr && query[1] != '\0') {
            query[1] = '\0';
        }
    }
    return new Request();
}

void on_connection(void* cls, MHD_Connection* connection, void** socket_context,
                   MHD_ConnectionNotificationCode code) {
    auto* state = static_cast<MetricsServer::State*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
        delete static_cast<Connection*>(*socket_context);
        *socket_context = nullptr;
        return;
    }
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
    if (info == nullptr || info->tls_session == nullptr) {
        return;
    }
    auto* context = new Connection{state->current()};
    *socket_context = context;
    if (context->settings && context->settings->tls) {
        context->settings->tls->apply(info->tls_session);
    }
}

void on_completed(void* cls, MHD_Connection* /*connection*/, void** request_context,
                  MHD_RequestTerminationCode /*why*/) {
    auto* state = static_cast<MetricsServer::State*>(cls);
    auto* request = static_cast<Request*>(*request_context);
    if (request == nullptr) {
        return;
    }
    if (request->begun) {
        if (request->code != 0) {
            const std::chrono::duration<double> took = Clock::now() - request->start;
            state->stats.end(request->code, took.count(), request->telemetry);
        } else {
            state->stats.abandon();
        }
    }
    delete request;
    *request_context = nullptr;
}

HandlerResult respond(MHD_Connection* connection, Request* request, const WebSettings* settings,
                      unsigned status, const std::string& body, const char* content_type,
                      bool gzip = false) {
    MHD_Response* response = MHD_create_response_from_buffer(
        body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) {
        return MHD_NO;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, content_type);
    if (request->telemetry) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_VARY, "Accept-Encoding");
        if (gzip) {
            MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_ENCODING, "gzip");
        }
    }
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    }
    if (status == MHD_HTTP_UNAUTHORIZED) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_WWW_AUTHENTICATE, kRealm);
    }
    if (settings != nullptr) {
        for (const auto& [name, value] : settings->headers) {
            MHD_add_response_header(response, name.c_str(), value.c_str());
        }
    }
    const HandlerResult result = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    if (result == MHD_YES) {
        request->code = status;
    }
    return result;
}

// The credentials of the request match a configured user's.
bool authorized(MHD_Connection* connection, BasicAuth& auth) {
    char* password = nullptr;
    char* user = MHD_basic_auth_get_username_password(connection, &password);
    bool ok = false;
    if (user != nullptr && password != nullptr) {
        ok = auth.verify(user, password);
    }
    if (password != nullptr) {
        explicit_bzero(password, std::strlen(password));
        MHD_free(password);
    }
    if (user != nullptr) {
        MHD_free(user);
    }
    return ok;
}

HandlerResult answer(MetricsServer::State& state, MHD_Connection* connection, Request* request,
                     const char* url, const char* method, unsigned in_flight) {
    const std::shared_ptr<const WebSettings> settings = state.current();
    const WebSettings* s = settings.get();
    request->telemetry = state.options.telemetry_path == url;
    if (state.options.max_requests != 0 && in_flight > state.options.max_requests) {
        return respond(connection, request, s, MHD_HTTP_SERVICE_UNAVAILABLE,
                       "too many requests at once\n", kText);
    }
    if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 &&
        std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
        return respond(connection, request, s, MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed\n",
                       kText);
    }
    if (s != nullptr && s->auth && !authorized(connection, *s->auth)) {
        return respond(connection, request, s, MHD_HTTP_UNAUTHORIZED, "unauthorized\n", kText);
    }
    if (request->telemetry) {
        const std::string body = state.render();
        const char* accept = MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                                         MHD_HTTP_HEADER_ACCEPT_ENCODING);
        if (accepts_gzip(accept)) {
            std::string compressed;
            if (!gzip_compress(body, &compressed)) {
                return respond(connection, request, s, MHD_HTTP_INTERNAL_SERVER_ERROR,
                               "compression failed\n", kText);
            }
            return respond(connection, request, s, MHD_HTTP_OK, compressed, kExpositionContentType,
                           true);
        }
        return respond(connection, request, s, MHD_HTTP_OK, body, kExpositionContentType);
    }
    if (std::strcmp(url, "/") == 0) {
        std::string page = kIndexPage;
        page.replace(page.find("{PATH}"), 6, state.options.telemetry_path);
        return respond(connection, request, s, MHD_HTTP_OK, page, "text/html; charset=utf-8");
    }
    return respond(connection, request, s, MHD_HTTP_NOT_FOUND, "not found\n", kText);
}

HandlerResult handle(void* cls, MHD_Connection* connection, const char* url, const char* method,
                     const char* /*version*/, const char* /*upload_data*/, size_t* upload_data_size,
                     void** request_context) {
    auto& state = *static_cast<MetricsServer::State*>(cls);
    auto* request = static_cast<Request*>(*request_context);
    if (request == nullptr) {
        request = new Request();
        *request_context = request;
    }
    if (!request->begun) {
        // The head is in. libmicrohttpd keeps the connection open for the next request only
        // when the answer is queued after this first call, so it comes on the next one.
        request->begun = true;
        request->start = Clock::now();
        request->in_flight = state.stats.begin();
        // Once a request came, the connection may stay open between scrapes.
        MHD_set_connection_option(connection, MHD_CONNECTION_OPTION_TIMEOUT,
                                  kKeepAliveTimeoutSeconds);
        return MHD_YES;
    }
    if (*upload_data_size != 0) {
        // A body is not read.
        *upload_data_size = 0;
        return MHD_YES;
    }
    if (request->code != 0) {
        return MHD_YES;
    }
    try {
        return answer(state, connection, request, url, method, request->in_flight);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "[ERROR] [EXPORTER] http: %s\n", e.what());
        return respond(connection, request, state.current().get(), MHD_HTTP_INTERNAL_SERVER_ERROR,
                       "internal error\n", kText);
    }
}

// libmicrohttpd's own error lines, on standard error.
void log_error(void* /*cls*/, const char* format, va_list args) {
    std::fputs("[ERROR] [EXPORTER] http: ", stderr);
    std::vfprintf(stderr, format, args);
}

}  // namespace

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

MetricsServer::MetricsServer() : state_(std::make_unique<State>()) {}

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
    listeners_.push_back({fd, listener_address(fd), nullptr});
    return true;
}

bool MetricsServer::adopt_systemd_sockets(std::string* error) {
    std::vector<int> fds;
    if (!systemd_listeners(&fds, error)) {
        return false;
    }
    for (const int fd : fds) {
        listeners_.push_back({fd, listener_address(fd), nullptr});
    }
    return true;
}

std::vector<std::string> MetricsServer::bound_addresses() const {
    std::vector<std::string> out;
    for (const auto& listener : listeners_) {
        out.push_back(listener.address);
    }
    return out;
}

bool MetricsServer::start_daemon(Listener& listener, const WebSettings& settings,
                                 std::string* error) {
    unsigned flags =
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO | MHD_USE_ERROR_LOG | MHD_USE_ITC;
    const char* cert = "";
    const char* key = "";
    if (settings.tls) {
        flags |= MHD_USE_TLS;
        cert = settings.tls->cert_pem().c_str();
        key = settings.tls->key_pem().c_str();
    }
    // The daemon gets a duplicate of the socket, and owns it: it closes it when it stops, and
    // when it cannot start (as 0.9.75 does), so the listener's own socket outlives any failure.
    const int fd = fcntl(listener.fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        *error = "cannot duplicate the socket of " + listener.address + ": " + std::strerror(errno);
        return false;
    }
    State* state = state_.get();
    // The logger comes first, so that libmicrohttpd's own messages all go through it. The
    // certificate and key only let a TLS daemon start: each connection's session gets the
    // current credentials when it starts (on_connection).
    listener.daemon = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &handle, state, MHD_OPTION_EXTERNAL_LOGGER, &log_error, nullptr,
        MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_THREAD_POOL_SIZE, kThreads,
        MHD_OPTION_CONNECTION_TIMEOUT, kRequestTimeoutSeconds, MHD_OPTION_CONNECTION_LIMIT,
        kConnectionLimit, MHD_OPTION_PER_IP_CONNECTION_LIMIT, kPerClientConnectionLimit,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, MHD_OPTION_URI_LOG_CALLBACK, &on_uri,
        state, MHD_OPTION_NOTIFY_COMPLETED, &on_completed, state, MHD_OPTION_NOTIFY_CONNECTION,
        &on_connection, state, settings.tls ? MHD_OPTION_HTTPS_MEM_CERT : MHD_OPTION_END, cert,
        MHD_OPTION_HTTPS_MEM_KEY, key, MHD_OPTION_END);
    if (listener.daemon == nullptr) {
        *error = "libmicrohttpd could not start on " + listener.address;
        return false;
    }
    listener.tls = settings.tls != nullptr;
    return true;
}

bool MetricsServer::stop_daemon(Listener& listener) {
    // The socket stays open and keeps its queued connections; only the daemon goes, with its
    // duplicate of the socket, which it hands back first.
    const int fd = MHD_quiesce_daemon(listener.daemon);
    if (fd < 0) {
        // The daemon goes on serving as it did.
        return false;
    }
    MHD_stop_daemon(listener.daemon);
    close(fd);
    listener.daemon = nullptr;
    return true;
}

bool MetricsServer::serve(const WebSettings& settings, bool all, std::string* error) {
    const bool tls = settings.tls != nullptr;
    bool served = true;
    const auto failed = [&](const std::string& why) {
        *error = error->empty() ? why : *error + "; " + why;
        served = false;
        return !all;
    };
    for (auto& listener : listeners_) {
        if (listener.daemon != nullptr) {
            if (listener.tls == tls) {
                continue;
            }
            if (!stop_daemon(listener)) {
                if (failed("libmicrohttpd could not hand back the socket of " + listener.address)) {
                    return false;
                }
                continue;
            }
        }
        std::string why;
        if (!start_daemon(listener, settings, &why) && failed(why)) {
            return false;
        }
    }
    return served;
}

bool MetricsServer::start(Render render, const ServerOptions& options,
                          std::shared_ptr<const WebSettings> settings, std::string* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_->render = std::move(render);
    state_->options = options;
    if (!settings) {
        settings = std::make_shared<WebSettings>();
    }
    state_->settings = settings;
    for (auto& listener : listeners_) {
        if (!start_daemon(listener, *settings, error)) {
            return false;
        }
    }
    return true;
}

bool MetricsServer::update(std::shared_ptr<const WebSettings> settings, std::string* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!settings) {
        settings = std::make_shared<WebSettings>();
    }
    const std::shared_ptr<const WebSettings> previous = state_->current();
    // Published before any daemon of the new kind starts, so that its first TLS session already
    // gets the new credentials (and client-certificate policy).
    publish(settings);
    // Every listener whose daemon is of the other kind, or has none (a start that failed
    // before), starts anew.
    const bool back_tls = previous->tls != nullptr;
    const bool switching = (settings->tls != nullptr) != back_tls;
    std::string why;
    if (serve(*settings, !switching, &why)) {
        return true;
    }
    *error = why;
    if (switching) {
        // A listener cannot serve the new kind: every listener goes back to the previous
        // settings. The daemons of the new kind stop before those are published again.
        *error += "; the last good configuration stays in effect";
        for (auto& listener : listeners_) {
            if (listener.daemon != nullptr && listener.tls != back_tls) {
                stop_daemon(listener);
            }
        }
        publish(previous);
        why.clear();
        serve(*previous, true, &why);
    }
    // Otherwise the new settings serve on the listeners that run, and a start that failed is
    // the socket's, not theirs.
    std::string idle;
    for (const auto& listener : listeners_) {
        if (listener.daemon == nullptr) {
            idle += (idle.empty() ? "" : ", ") + listener.address;
        }
    }
    if (!idle.empty()) {
        *error += "; nothing serves " + idle + " until the web configuration changes again";
    }
    return false;
}

void MetricsServer::publish(std::shared_ptr<const WebSettings> settings) {
    std::lock_guard<std::mutex> state_lock(state_->mutex);
    state_->settings = std::move(settings);
}

void MetricsServer::stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& listener : listeners_) {
        if (listener.daemon != nullptr) {
            // The daemon closes its duplicate of the socket.
            MHD_stop_daemon(listener.daemon);
            listener.daemon = nullptr;
        }
        if (listener.fd >= 0) {
            close(listener.fd);
        }
        listener.fd = -1;
    }
}

}  // namespace vorlix::kestrel::exporter
