// Listening sockets: bound here, or from systemd.
#include "cpu/exporter/listeners.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "cpu/exporter/log.h"

namespace vorlix::kestrel::exporter {

namespace {

// As many connections as the kernel lets wait for their accept (net.core.somaxconn), as Go's
// servers ask: a burst of clients waits in the queue instead of retrying its SYN a second later.
constexpr int kListenBacklog = SOMAXCONN;
// Out of descriptors, the sockets are left alone this long before the next try: their
// connections wait in the kernel's queue meanwhile.
constexpr int kOutOfDescriptorsPauseMs = 100;

bool out_of_descriptors(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

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

namespace vorlix::kestrel::exporter {

Acceptor::Acceptor(std::vector<int> sockets, Hand hand)
    : sockets_(std::move(sockets)), hand_(std::move(hand)) {
    // Each socket is emptied of its queued connections in one go: accept must not block.
    for (const int socket : sockets_) {
        fcntl(socket, F_SETFL, fcntl(socket, F_GETFL) | O_NONBLOCK);
    }
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread_ = std::thread([this] { run(); });
}

Acceptor::~Acceptor() {
    stopping_ = true;
    const std::uint64_t one = 1;
    if (wake_ >= 0 && write(wake_, &one, sizeof one) != sizeof one) {
        // The thread sees the stop at its next look (it looks every 200 ms without a wake).
    }
    thread_.join();
    if (wake_ >= 0) {
        close(wake_);
    }
}

bool Acceptor::accept_all(int socket) {
    for (;;) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        const int fd = accept4(socket, reinterpret_cast<sockaddr*>(&address), &length,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            hand_(fd, reinterpret_cast<const sockaddr*>(&address), length);
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED) {
            continue;
        }
        if (out_of_descriptors(errno)) {
            static RateLimitedLog said;
            const std::uint64_t count = said.occurred("accept");
            if (count != 0) {
                log_line(LogLevel::kError, std::string("http: cannot accept connections: ") +
                                               std::strerror(errno) +
                                               (count > 1 ? " (" + std::to_string(count) +
                                                                " times since the last "
                                                                "report)"
                                                          : std::string()));
            }
            return false;
        }
        // EAGAIN: nothing more queued; anything else belongs to one connection.
        return true;
    }
}

void Acceptor::run() {
    using Clock = std::chrono::steady_clock;
    std::vector<pollfd> polled;
    for (const int socket : sockets_) {
        polled.push_back({socket, POLLIN, 0});
    }
    polled.push_back({wake_, POLLIN, 0});
    Clock::time_point paused_until{};
    while (!stopping_) {
        const bool paused = Clock::now() < paused_until;
        for (std::size_t i = 0; i < sockets_.size(); ++i) {
            polled[i].events = paused ? 0 : POLLIN;
        }
        const int timeout = paused ? kOutOfDescriptorsPauseMs : wake_ < 0 ? 200 : -1;
        const int ready = poll(polled.data(), polled.size(), timeout);
        if (ready < 0 && errno != EINTR) {
            return;
        }
        for (std::size_t i = 0; ready > 0 && !paused && i < sockets_.size(); ++i) {
            if ((polled[i].revents & POLLIN) != 0 && !accept_all(polled[i].fd)) {
                paused_until = Clock::now() + std::chrono::milliseconds(kOutOfDescriptorsPauseMs);
            }
        }
    }
}

}  // namespace vorlix::kestrel::exporter
