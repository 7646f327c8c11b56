// The exporter's HTTP endpoint on libmicrohttpd.
#include "cpu/exporter/http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cpu/exporter/exposition.h"

namespace vorlix::kestrel::exporter {

namespace {

// libmicrohttpd 0.9.71 and later type their callbacks' results.
#if MHD_VERSION >= 0x00097002
using HandlerResult = MHD_Result;
#else
using HandlerResult = int;
#endif

constexpr const char* kIndexPage =
    "<!DOCTYPE html>\n"
    "<html><head><title>kestrel exporter</title></head>\n"
    "<body><h1>kestrel exporter</h1>\n"
    "<p>Load of the Hexagon compute DSPs of this board: <a href=\"/metrics\">metrics</a>.</p>\n"
    "</body></html>\n";

constexpr unsigned kConnectionTimeoutSeconds = 30;
constexpr unsigned kConnectionLimit = 1024;
constexpr int kListenBacklog = 128;

HandlerResult respond(MHD_Connection* connection, unsigned status, const std::string& body,
                      const char* content_type) {
    MHD_Response* response = MHD_create_response_from_buffer(
        body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) {
        return MHD_NO;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, content_type);
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    }
    const HandlerResult result = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return result;
}

HandlerResult handle(void* cls, MHD_Connection* connection, const char* url, const char* method,
                     const char* /*version*/, const char* /*upload_data*/,
                     size_t* /*upload_data_size*/, void** /*con_cls*/) {
    const auto& render = *static_cast<const MetricsServer::Render*>(cls);
    constexpr const char* kText = "text/plain; charset=utf-8";
    if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 &&
        std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
        return respond(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed\n", kText);
    }
    if (std::strcmp(url, "/metrics") == 0) {
        return respond(connection, MHD_HTTP_OK, render(), kExpositionContentType);
    }
    if (std::strcmp(url, "/") == 0) {
        return respond(connection, MHD_HTTP_OK, kIndexPage, "text/html; charset=utf-8");
    }
    return respond(connection, MHD_HTTP_NOT_FOUND, "not found\n", kText);
}

// libmicrohttpd's own error lines, on standard error.
void log_error(void* /*cls*/, const char* format, va_list args) {
    std::fputs("[ERROR] [EXPORTER] http: ", stderr);
    std::vfprintf(stderr, format, args);
}

std::string format_address(const sockaddr_storage& address) {
    char host[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &in6.sin6_addr, host, sizeof host);
        return "[" + std::string(host) + "]:" + std::to_string(ntohs(in6.sin6_port));
    }
    const auto& in4 = reinterpret_cast<const sockaddr_in&>(address);
    inet_ntop(AF_INET, &in4.sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(in4.sin_port));
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

MetricsServer::~MetricsServer() {
    stop();
}

bool MetricsServer::bind(const ListenAddress& address, std::string* error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(address.port);
    const int lookup = getaddrinfo(address.host.empty() ? "0.0.0.0" : address.host.c_str(),
                                   port.c_str(), &hints, &found);
    if (lookup != 0) {
        *error = gai_strerror(lookup);
        return false;
    }
    int last_error = 0;
    for (addrinfo* ai = found; ai != nullptr && socket_ < 0; ai = ai->ai_next) {
        const int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            last_error = errno;
            continue;
        }
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd, ai->ai_addr, ai->ai_addrlen) != 0 || listen(fd, kListenBacklog) != 0) {
            last_error = errno;
            close(fd);
            continue;
        }
        socket_ = fd;
    }
    freeaddrinfo(found);
    if (socket_ < 0) {
        *error = std::strerror(last_error);
        return false;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(socket_, reinterpret_cast<sockaddr*>(&bound), &length);
    bound_ = format_address(bound);
    return true;
}

std::string MetricsServer::bound_address() const {
    return bound_;
}

bool MetricsServer::start(Render render, std::string* error) {
    render_ = std::move(render);
    // The logger comes first, so that libmicrohttpd's own messages all go through it.
    daemon_ = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO | MHD_USE_ERROR_LOG,
                               0, nullptr, nullptr, &handle, &render_, MHD_OPTION_EXTERNAL_LOGGER,
                               &log_error, nullptr, MHD_OPTION_LISTEN_SOCKET, socket_,
                               MHD_OPTION_CONNECTION_TIMEOUT, kConnectionTimeoutSeconds,
                               MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit, MHD_OPTION_END);
    if (daemon_ == nullptr) {
        *error = "libmicrohttpd could not start";
        return false;
    }
    return true;
}

void MetricsServer::stop() {
    if (daemon_ != nullptr) {
        // The daemon closes the listening socket it was given.
        MHD_stop_daemon(daemon_);
        daemon_ = nullptr;
        socket_ = -1;
    }
    if (socket_ >= 0) {
        close(socket_);
        socket_ = -1;
    }
}

}  // namespace vorlix::kestrel::exporter
