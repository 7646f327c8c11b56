// The server's listening sockets: bound to the addresses of --web.listen-address, or handed
// over by systemd (--web.systemd-socket, socket activation through sd_listen_fds).
#pragma once

#include <string>
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

}  // namespace vorlix::kestrel::exporter
