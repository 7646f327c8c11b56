// The exporter's request handling fed arbitrary bytes: its server (libmicrohttpd with the
// exporter's callbacks, TLS off) runs in this process on a loopback port, behind a password, and
// each input is sent on a connection of its own from an address of its own, with an empty line
// after it (libmicrohttpd waits for a request line's end until its timeout), and its first answer
// is read; then the connection is closed. One that does not come within 200 ms (a request body
// still awaited; answers come within milliseconds) is left to the server's timeout. (Half-closing
// after the request is not done: libmicrohttpd 0.9.75 keeps such a connection open after its
// answer until the keep-alive timeout, and thousands of them would fill the server.) Whatever the
// path, the query, the headers, the Authorization header (its scheme, its base 64, what it decodes
// to) and Accept-Encoding: every answer is HTTP with a status the exporter gives; nothing but a 401
// or a refusal of the request itself comes back without the right credentials (every path is behind
// the password, not only the telemetry path); a 200 for the telemetry path carries the exposition,
// gzip-compressed only when the request asked for gzip; and the server answers the next input.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "cpu/exporter/basic_auth.h"
#include "cpu/exporter/http_server.h"
#include "fuzz_support.h"

namespace {

using namespace vorlix::kestrel::exporter;

// "pw" at cost 4, made with htpasswd -nbBC 4; the user is alice.
constexpr const char* kHash = "$2y$04$TrfN.6y7wTfWyZb7Y3unDOZul.5nazi7GpGfF8XacA3zwTPHOpUhS";
// base64("alice:pw"): no request gets in without these bytes.
constexpr const char* kToken = "YWxpY2U6cHc=";
constexpr const char* kExposition =
    "# HELP kestrel_dsp_up 1 while the core's session is open and sampling, 0 after a failure.\n"
    "# TYPE kestrel_dsp_up gauge\n"
    "kestrel_dsp_up{domain=\"cdsp\"} 1\n";

// The statuses the exporter answers with, its own and libmicrohttpd's refusals of a request.
const std::set<int> kStatuses = {200, 400, 401, 404, 405, 413, 414, 429, 431, 500, 501, 503, 505};
// The statuses that may come without the credentials: a refusal that comes before anyone could
// have been asked for them.
const std::set<int> kWithoutCredentials = {400, 401, 413, 414, 429, 431, 501, 503, 505};

struct Server {
    Server() {
        std::string why;
        FUZZ_CHECK(server.bind(ListenAddress{"127.0.0.1", 0}, &why));
        const std::string address = server.bound_addresses().front();
        port = std::atoi(address.c_str() + address.rfind(':') + 1);
        auto settings = std::make_shared<WebSettings>();
        settings->auth = std::make_shared<BasicAuth>(
            std::vector<std::pair<std::string, std::string>>{{"alice", kHash}});
        settings->headers = {{"X-Frame-Options", "deny"}};
        ServerOptions options;
        options.connections = 4096;
        FUZZ_CHECK(server.start([] { return std::string(kExposition); }, options, settings, &why));
    }
    MetricsServer server;
    int port = 0;
};

Server& server() {
    static Server* const instance = new Server();
    return *instance;
}

// Connects `fd`; a connect that a signal interrupts (libFuzzer's alarm) goes on in the background,
// and is waited for.
bool connect_to(int fd, const sockaddr_in& address) {
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        return true;
    }
    if (errno != EINTR) {
        return false;
    }
    pollfd wait{fd, POLLOUT, 0};
    while (poll(&wait, 1, 10000) < 0 && errno == EINTR) {
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        errno = error != 0 ? error : errno;
        return false;
    }
    return (wait.revents & POLLOUT) != 0;
}

// Sends `request` on a new connection from the next loopback address (so that no per-client
// limit bites) and reads its first answer after any interim ones: the head, and as many bytes
// as its Content-Length says (the connection would stay open for a next request), or what comes
// until the server closes or `patience` passes.
std::string exchange(const std::string& request, timeval patience) {
    static std::uint32_t next_source = 0;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    FUZZ_CHECK(fd >= 0);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    // Closed with a reset, not a FIN: hundreds of thousands of connections closed from this side
    // would otherwise leave as many in TIME_WAIT, until bind finds no free port.
    const linger abort{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    sockaddr_in source{};
    source.sin_family = AF_INET;
    source.sin_addr.s_addr = htonl(0x7f100000u + (next_source++ % 0xfffffu) + 1);
    FUZZ_CHECK(bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) == 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(server().port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!connect_to(fd, address)) {
        std::fprintf(stderr, "connect from 127.%u.%u.%u: %s\n",
                     (ntohl(source.sin_addr.s_addr) >> 16) & 255,
                     (ntohl(source.sin_addr.s_addr) >> 8) & 255,
                     ntohl(source.sin_addr.s_addr) & 255, std::strerror(errno));
        FUZZ_CHECK(false);
    }
    for (std::size_t sent = 0; sent < request.size();) {
        const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;  // the server closed first (it refused the request)
        }
        sent += static_cast<std::size_t>(n);
    }
    std::string answer;
    char buffer[16384];
    for (;;) {
        const std::size_t end_of_head = answer.find("\r\n\r\n");
        if (end_of_head != std::string::npos && answer.compare(0, 10, "HTTP/1.1 1") == 0) {
            // An interim answer (100 Continue, to Expect: 100-continue): the real one follows.
            answer.erase(0, end_of_head + 4);
            continue;
        }
        if (end_of_head != std::string::npos) {
            const std::size_t at = answer.find("Content-Length: ");
            const std::size_t length =
                at < end_of_head ? std::strtoul(answer.c_str() + at + 16, nullptr, 10) : 0;
            if (answer.size() >= end_of_head + 4 + length) {
                break;
            }
        }
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        answer.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return answer;
}

std::string gunzip(const std::string& packed) {
    std::string out(64 * 1024, '\0');
    z_stream stream{};
    FUZZ_CHECK(inflateInit2(&stream, 15 + 16) == Z_OK);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
    stream.avail_in = static_cast<uInt>(packed.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    FUZZ_CHECK(inflate(&stream, Z_FINISH) == Z_STREAM_END);
    out.resize(stream.total_out);
    inflateEnd(&stream);
    return out;
}

// The first answer of `answer`: its status, head and body (by its Content-Length).
void check_answer(const std::string& request, const std::string& answer) {
    if (answer.empty()) {
        return;  // a request never completed, or closed without a word by the library
    }
    FUZZ_CHECK(answer.compare(0, 9, "HTTP/1.1 ") == 0);
    const int status = std::atoi(answer.c_str() + 9);
    FUZZ_CHECK(kStatuses.count(status) != 0);
    const bool credentials = request.find(kToken) != std::string::npos;
    FUZZ_CHECK(credentials || kWithoutCredentials.count(status) != 0);
    const std::size_t end_of_head = answer.find("\r\n\r\n");
    FUZZ_CHECK(end_of_head != std::string::npos);
    const std::string head = answer.substr(0, end_of_head);
    const bool metrics = head.find("Content-Type: text/plain; version=0.0.4") != std::string::npos;
    if (status != 200 || !metrics || request.compare(0, 4, "GET ") != 0) {
        return;
    }
    const std::size_t at = head.find("Content-Length: ");
    FUZZ_CHECK(at != std::string::npos);
    const std::string body =
        answer.substr(end_of_head + 4, std::strtoul(head.c_str() + at + 16, nullptr, 10));
    if (head.find("Content-Encoding: gzip") != std::string::npos) {
        // Content codings are named without regard to case ("gZip" is gzip).
        std::string lower = request;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        FUZZ_CHECK(lower.find("zip") != std::string::npos || lower.find('*') != std::string::npos);
        FUZZ_CHECK(gunzip(body) == kExposition);
    } else {
        FUZZ_CHECK(body == kExposition);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static unsigned inputs = 0;
    const std::string request = std::string(reinterpret_cast<const char*>(data), size) + "\r\n\r\n";
    check_answer(request, exchange(request, timeval{0, 200000}));
    // Now and then: the server still answers.
    if (++inputs % 16 == 1) {
        const std::string next =
            exchange("GET /metrics HTTP/1.1\r\nHost: x\r\nAuthorization: Basic " +
                         std::string(kToken) + "\r\n\r\n",
                     timeval{10, 0});
        if (next.compare(0, 12, "HTTP/1.1 200") != 0) {
            std::fprintf(stderr, "the server's answer: %s\n", next.substr(0, 200).c_str());
        }
        FUZZ_CHECK(next.compare(0, 12, "HTTP/1.1 200") == 0);
    }
    return 0;
}
