// What the server watches of each TLS connection before libmicrohttpd's handshake reads it: a
// client that speaks plain HTTP to a TLS listener gets "400 Bad Request" and one line of text,
// as Go's servers answer it, instead of a connection closed without a word; and whether the
// handshake completed, so that failures can be logged with the client's address.
#pragma once

#include <atomic>
#include <memory>

namespace vorlix::kestrel::exporter {

// What became of one TLS connection's start; read once the connection has closed.
struct TlsWatch {
    std::atomic<bool> spoke{false};       // the client sent bytes
    std::atomic<bool> plain_http{false};  // ... and they were plain HTTP (answered 400)
    std::atomic<bool> completed{false};   // the handshake completed
};

// The reply to plain HTTP on a TLS listener.
inline constexpr const char* kPlainHttpOnTlsReply =
    "HTTP/1.0 400 Bad Request\r\n"
    "Content-Type: text/plain; charset=utf-8\r\n"
    "Connection: close\r\n"
    "\r\n"
    "Client sent an HTTP request to an HTTPS server.\n";

// Starts watching `session` (a gnutls_session_t whose transport is the socket `fd`, its
// handshake not begun). The session's first read looks at the client's first byte.
std::shared_ptr<const TlsWatch> watch_tls_connection(void* session, int fd);
// Ends the watch of the connection on `fd`; call it before the socket is closed.
void unwatch_tls_connection(int fd);

}  // namespace vorlix::kestrel::exporter
