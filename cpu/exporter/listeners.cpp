// Listening sockets: bound here, or from systemd.
#include "cpu/exporter/listeners.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vorlix::kestrel::exporter {

namespace {

constexpr int kListenBacklog = 128;

}  // namespace

int bind_listener(const ListenAddress& address, std::string* error) {
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
        return -1;
    }
    int last_error = 0;
    int socket_fd = -1;
    for (addrinfo* ai = found; ai != nullptr && socket_fd < 0; ai = ai->ai_next) {
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
        socket_fd = fd;
    }
    freeaddrinfo(found);
    if (socket_fd < 0) {
        *error = std::strerror(last_error);
    }
    return socket_fd;
}

bool systemd_listeners(std::vector<int>* fds, std::string* error) {
    const int count = sd_listen_fds(1);
    if (count < 0) {
        *error = std::string("sd_listen_fds: ") + std::strerror(-count);
        return false;
    }
    if (count == 0) {
        *error = "systemd passed no socket (LISTEN_FDS and LISTEN_PID name none for this process)";
        return false;
    }
    for (int fd = SD_LISTEN_FDS_START; fd < SD_LISTEN_FDS_START + count; ++fd) {
        if (sd_is_socket(fd, AF_UNSPEC, SOCK_STREAM, 1) <= 0) {
            *error = "descriptor " + std::to_string(fd) +
                     " from systemd is not a listening stream socket";
            return false;
        }
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        fds->push_back(fd);
    }
    return true;
}

std::string listener_address(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return "?";
    }
    char host[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &in6.sin6_addr, host, sizeof host);
        return "[" + std::string(host) + "]:" + std::to_string(ntohs(in6.sin6_port));
    }
    if (address.ss_family == AF_INET) {
        const auto& in4 = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &in4.sin_addr, host, sizeof host);
        return std::string(host) + ":" + std::to_string(ntohs(in4.sin_port));
    }
    return "unix socket";
}

}  // namespace vorlix::kestrel::exporter
