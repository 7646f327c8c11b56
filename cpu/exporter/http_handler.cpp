// libmicrohttpd's callbacks of the exporter's daemons.
#include "cpu/exporter/http_handler.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "cpu/exporter/compression.h"
#include "cpu/exporter/exposition.h"
#include "cpu/exporter/http_daemon.h"
#include "cpu/exporter/http_request.h"

namespace vorlix::kestrel::exporter {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kIndexPage =
    "<!DOCTYPE html>\n"
    "<html><head><title>kestrel exporter</title></head>\n"
    "<body><h1>kestrel exporter</h1>\n"
    "<p>Load of the Hexagon compute DSPs of this board: <a href=\"{PATH}\">metrics</a>.</p>\n"
    "</body></html>\n";
constexpr const char* kText = "text/plain; charset=utf-8";
constexpr const char* kRealm = "Basic realm=\"kestrel-exporter\"";
// An idle keep-alive connection after an answer; longer than usual scrape intervals.
constexpr unsigned kKeepAliveTimeoutSeconds = 120;
constexpr unsigned kTooManyRequests = 429;

// One request, from its request line to the end of its answer.
struct Request {
    bool head = false;     // the head is in
    bool counted = false;  // the request is complete (its body, if any, read): counted in flight
    bool telemetry = false;
    unsigned in_flight = 0;  // requests in flight when it was complete, itself included
    unsigned code = 0;       // the status queued, 0 while none
    Clock::time_point start;
    // The settings it is answered with, from its first turn on (also after a wait).
    std::shared_ptr<const WebSettings> settings;
    // Its password verification, while and after it waits for one.
    std::shared_ptr<VerificationPool::Ticket> ticket;
};

// Whether a request may have what it asks for.
enum class Access { kGranted, kDenied, kWaiting, kBusy, kUnavailable };

// Whether the running libmicrohttpd is one in whose request buffer on_uri may cut the query:
// those known to pass the row that guards it (below).
bool query_may_be_cut() {
    static const bool known = std::strcmp(MHD_get_version(), "0.9.75") == 0;
    return known;
}

ConnectionContext* context_of(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info == nullptr ? nullptr : static_cast<ConnectionContext*>(info->socket_context);
}

// The client's address without its port ("127.0.0.1", "::1").
std::string client_address(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    char text[INET6_ADDRSTRLEN] = "?";
    if (info == nullptr || info->client_addr == nullptr) {
        return text;
    }
    const sockaddr* address = info->client_addr;
    if (address->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text,
                  sizeof text);
    } else if (address->sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text,
                  sizeof text);
    }
    return text;
}

int socket_of(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    return info == nullptr ? -1 : info->connect_fd;
}

HandlerResult respond(MHD_Connection* connection, Request& request, unsigned status,
                      const std::string& body, const char* content_type, bool gzip = false) {
    MHD_Response* response = MHD_create_response_from_buffer(
        body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) {
        return MHD_NO;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, content_type);
    if (request.telemetry) {
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
    if (status == kTooManyRequests || status == MHD_HTTP_SERVICE_UNAVAILABLE) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_RETRY_AFTER, "1");
    }
    if (request.settings) {
        for (const auto& [name, value] : request.settings->headers) {
            MHD_add_response_header(response, name.c_str(), value.c_str());
        }
    }
    const HandlerResult result = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    if (result == MHD_YES) {
        request.code = status;
        // Once answered, the connection may stay open between scrapes; until then a client
        // has the request timeout to send the whole of its request.
        MHD_set_connection_option(connection, MHD_CONNECTION_OPTION_TIMEOUT,
                                  kKeepAliveTimeoutSeconds);
    }
    return result;
}

// Queues the verification of credentials not verified before; the request waits for it with
// its connection suspended, so that no connection thread waits for bcrypt.
Access queue_verification(DaemonContext& daemon, MHD_Connection* connection, Request& request,
                          Credentials credentials) {
    const ConnectionContext* context = context_of(connection);
    VerificationPool& pool = daemon.state().verifier;
    const auto admission = pool.admit(
        &daemon, context != nullptr ? context->address : "?",
        [connection] { MHD_resume_connection(connection); }, &request.ticket);
    if (admission == VerificationPool::Admission::kAddressBusy) {
        return Access::kBusy;
    }
    if (admission != VerificationPool::Admission::kQueued) {
        return Access::kUnavailable;
    }
    // Suspended before the verification can start, so that its wake always comes after.
    MHD_suspend_connection(connection);
    std::shared_ptr<BasicAuth> auth = request.settings->auth;
    pool.start(request.ticket, [auth, credentials = std::move(credentials)] {
        return auth->verify(credentials.user, credentials.password);
    });
    return Access::kWaiting;
}

Access access(DaemonContext& daemon, MHD_Connection* connection, Request& request) {
    if (request.ticket) {
        switch (request.ticket->outcome()) {
            case VerificationPool::Outcome::kMatch:
                return Access::kGranted;
            case VerificationPool::Outcome::kMismatch:
                return Access::kDenied;
            default:
                return Access::kUnavailable;
        }
    }
    Credentials credentials;
    const char* header =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION);
    if (header == nullptr || !decode_basic_credentials(header, &credentials)) {
        return Access::kDenied;
    }
    if (request.settings->auth->known(credentials.user, credentials.password)) {
        return Access::kGranted;
    }
    return queue_verification(daemon, connection, request, std::move(credentials));
}

HandlerResult metrics(ServerState& state, MHD_Connection* connection, Request& request) {
    const std::string body = state.render();
    const char* accept =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_ACCEPT_ENCODING);
    if (!accepts_gzip(accept)) {
        return respond(connection, request, MHD_HTTP_OK, body, kExpositionContentType);
    }
    std::string compressed;
    if (!gzip_compress(body, &compressed)) {
        return respond(connection, request, MHD_HTTP_INTERNAL_SERVER_ERROR, "compression failed\n",
                       kText);
    }
    return respond(connection, request, MHD_HTTP_OK, compressed, kExpositionContentType, true);
}

// The answer of a request whose access is granted.
HandlerResult route(ServerState& state, MHD_Connection* connection, Request& request,
                    const char* url, const char* method) {
    switch (route_of(method, url, state.options.telemetry_path)) {
        case Route::kMethodNotAllowed:
            return respond(connection, request, MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed\n",
                           kText);
        case Route::kMetrics:
            return metrics(state, connection, request);
        case Route::kIndex: {
            std::string page = kIndexPage;
            page.replace(page.find("{PATH}"), 6, state.options.telemetry_path);
            return respond(connection, request, MHD_HTTP_OK, page, "text/html; charset=utf-8");
        }
        case Route::kNotFound:
            break;
    }
    return respond(connection, request, MHD_HTTP_NOT_FOUND, "not found\n", kText);
}

HandlerResult answer(DaemonContext& daemon, MHD_Connection* connection, Request& request,
                     const char* url, const char* method) {
    ServerState& state = daemon.state();
    if (!request.settings) {
        request.settings = state.current();
    }
    request.telemetry = state.options.telemetry_path == url;
    if (state.options.max_requests != 0 && request.in_flight > state.options.max_requests) {
        return respond(connection, request, MHD_HTTP_SERVICE_UNAVAILABLE,
                       "too many requests at once\n", kText);
    }
    // Every path and method is behind the passwords, not only the telemetry path.
    if (request.settings->auth) {
        switch (access(daemon, connection, request)) {
            case Access::kGranted:
                break;
            case Access::kWaiting:
                return MHD_YES;
            case Access::kDenied:
                return respond(connection, request, MHD_HTTP_UNAUTHORIZED, "unauthorized\n", kText);
            case Access::kBusy:
                return respond(connection, request, kTooManyRequests,
                               "too many password checks from this address at once\n", kText);
            case Access::kUnavailable:
                return respond(connection, request, MHD_HTTP_SERVICE_UNAVAILABLE,
                               "too many password checks at once\n", kText);
        }
    }
    return route(state, connection, request, url, method);
}

// The request is complete: counted in flight from now until its answer has gone. A request whose
// body never comes is never counted, so that clients that send heads alone cannot take the
// places of the requests that are answered.
void count(ServerState& state, Request& request) {
    request.counted = true;
    request.start = Clock::now();
    request.in_flight = state.stats.begin();
}

void log_failed_handshake(ServerState& state, const ConnectionContext& context) {
    const TlsWatch& watch = *context.tls;
    if (!watch.spoke || watch.completed) {
        return;
    }
    const std::uint64_t count = state.handshake_log.occurred(context.address);
    if (count == 0) {
        return;
    }
    std::string line = "http: TLS handshake with " + context.address + " failed";
    if (count > 1) {
        line += " " + std::to_string(count) + " times since the last report";
    }
    line += watch.plain_http ? ", the last: the client spoke plain HTTP (answered 400)"
                             : ", the last: the handshake did not complete";
    log_line(LogLevel::kWarn, line);
}

void connection_closed(DaemonContext& daemon, ConnectionContext* context) {
    if (context == nullptr) {
        return;
    }
    daemon.closed(context);
    if (context->tls) {
        unwatch_tls_connection(context->fd);
        log_failed_handshake(daemon.state(), *context);
    }
    delete context;
}

}  // namespace

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
    auto& daemon = *static_cast<DaemonContext*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
        connection_closed(daemon, static_cast<ConnectionContext*>(*socket_context));
        *socket_context = nullptr;
        return;
    }
    auto* context = new ConnectionContext();
    context->daemon = &daemon;
    context->fd = socket_of(connection);
    context->address = client_address(connection);
    *socket_context = context;
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
    if (daemon.tls() && info != nullptr && info->tls_session != nullptr) {
        // The session gets the credentials in effect now, and keeps them while it lasts.
        context->settings = daemon.state().current();
        if (context->settings && context->settings->tls) {
            context->settings->tls->apply(info->tls_session);
        }
        context->tls = watch_tls_connection(info->tls_session, context->fd);
    }
    daemon.opened(context);
}

void on_completed(void* cls, MHD_Connection* /*connection*/, void** request_context,
                  MHD_RequestTerminationCode /*why*/) {
    auto& state = static_cast<DaemonContext*>(cls)->state();
    auto* request = static_cast<Request*>(*request_context);
    if (request == nullptr) {
        return;
    }
    if (request->counted) {
        if (request->code != 0) {
            const std::chrono::duration<double> took = Clock::now() - request->start;
            state.stats.end(request->code, took.count(), request->telemetry);
        } else {
            state.stats.abandon();
        }
    }
    delete request;
    *request_context = nullptr;
}

HandlerResult on_request(void* cls, MHD_Connection* connection, const char* url, const char* method,
                         const char* /*version*/, const char* /*upload_data*/,
                         size_t* upload_data_size, void** request_context) {
    auto& daemon = *static_cast<DaemonContext*>(cls);
    auto* request = static_cast<Request*>(*request_context);
    if (request == nullptr) {
        request = new Request();
        *request_context = request;
    }
    if (!request->head) {
        // libmicrohttpd keeps the connection open for the next request only when the answer is
        // queued after this first call, so it comes on the next one.
        request->head = true;
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
    if (!request->counted) {
        count(daemon.state(), *request);
    }
    try {
        return answer(daemon, connection, *request, url, method);
    } catch (const std::exception& e) {
        log_line(LogLevel::kError, std::string("http: ") + e.what());
        return respond(connection, *request, MHD_HTTP_INTERNAL_SERVER_ERROR, "internal error\n",
                       kText);
    }
}

// libmicrohttpd's own messages, each kind (its format: the text may quote a client's path) at
// most once a minute with a count. A failed TLS handshake is logged with the client's address
// when its connection closes instead.
void on_library_message(void* cls, const char* format, va_list args) {
    auto& state = *static_cast<ServerState*>(cls);
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    std::string message = text;
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
        message.pop_back();
    }
    if (message == "Error: received handshake message out of context.") {
        return;
    }
    const std::uint64_t count = state.library_log.occurred(format);
    if (count > 1) {
        message += " (" + std::to_string(count) + " times since the last report)";
    }
    if (count != 0) {
        log_line(LogLevel::kError, "http: " + message);
    }
}

}  // namespace vorlix::kestrel::exporter
