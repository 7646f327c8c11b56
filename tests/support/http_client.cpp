#include "http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>

namespace kestrel_test {

HttpResponse http_exchange(int port, const std::string& request, const char* source) {
    HttpResponse response;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return response;
    }
    if (source != nullptr) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, source, &local.sin_addr);
        if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            close(fd);
            return response;
        }
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // A server that never answers fails the exchange instead of holding the test up.
    const timeval patience{30, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return response;
    }
    std::size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            break;
        }
        sent += static_cast<std::size_t>(n);
    }
    std::string raw;
    char buffer[8192];
    for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) {
        raw.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    const std::size_t end_of_head = raw.find("\r\n\r\n");
    if ((raw.compare(0, 9, "HTTP/1.1 ") != 0 && raw.compare(0, 9, "HTTP/1.0 ") != 0) ||
        end_of_head == std::string::npos) {
        return response;
    }
    response.status = std::atoi(raw.c_str() + 9);
    response.head = raw.substr(0, end_of_head);
    response.body = raw.substr(end_of_head + 4);
    if (response.head.find("Transfer-Encoding: chunked") != std::string::npos) {
        // Chunks: a hexadecimal size line, the data, a line end; size 0 ends the body.
        std::string body;
        std::size_t at = 0;
        for (;;) {
            const std::size_t line_end = response.body.find("\r\n", at);
            const std::size_t size = line_end == std::string::npos
                                         ? 0
                                         : std::strtoul(response.body.c_str() + at, nullptr, 16);
            if (size == 0) {
                break;
            }
            body += response.body.substr(line_end + 2, size);
            at = line_end + 2 + size + 2;
        }
        response.body = body;
    }
    return response;
}

HttpResponse http_get(int port, const std::string& target) {
    return http_exchange(
        port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}

}  // namespace kestrel_test
