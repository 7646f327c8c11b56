// The server's listening sockets: bound to the addresses of --web.listen-address, or handed
// over by systemd (--web.systemd-socket, socket activation through sd_listen_fds).
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "cpu/exporter/http_server.h"

namespace vorlix::kestrel::exporter {

// A socket bound and listening on `address`: its descriptor (close-on-exec), or -1 with the
// reason in `error`.
int bind_listener(const ListenAddress& address, std::string* error);

// The listening sockets systemd passed (from descriptor 3 on, LISTEN_FDS and LISTEN_PID in the
// environment, which are then removed). False, with the reason in `error`, when there is none
// or one is not a listening stream socket.
bool systemd_listeners(std::vector<int>* fds, std::string* error);

// The local address of a socket as "HOST:PORT" ("[HOST]:PORT" for IPv6).
std::string listener_address(int fd);

// Accepts the connections of listening sockets on a thread of its own and hands each over.
// When the process is out of descriptors it says so (once a minute) and tries again a moment
// later, instead of spinning or giving up.
class Acceptor {
  public:
    // Takes a new connection's socket (non-blocking, close-on-exec), which it then owns.
    using Hand = std::function<void(int fd, const sockaddr* address, socklen_t length)>;

    // Accepts on `sockets` (which stay the caller's) until destroyed.
    Acceptor(std::vector<int> sockets, Hand hand);
    ~Acceptor();
    Acceptor(const Acceptor&) = delete;
    Acceptor& operator=(const Acceptor&) = delete;

  private:
    void run();
    // Accepts what `socket` has queued; false when the process is out of descriptors.
    bool accept_all(int socket);

    std::vector<int> sockets_;
    Hand hand_;
    std::atomic<bool> stopping_{false};
    int wake_ = -1;  // an eventfd that wakes the thread to stop
    std::thread thread_;
};

}  // namespace vorlix::kestrel::exporter
