// Watching TLS connections' first bytes and handshakes.
#include "cpu/exporter/tls_guard.h"

#include <gnutls/gnutls.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace vorlix::kestrel::exporter {

namespace {

struct Watched {
    gnutls_session_t session;
    std::shared_ptr<TlsWatch> watch;
};

// The connections watched, by socket: the transport functions get the socket only.
struct Registry {
    std::mutex mutex;
    std::unordered_map<int, Watched> watched;

    std::shared_ptr<TlsWatch> find(int fd, gnutls_session_t* session = nullptr) {
        std::lock_guard<std::mutex> lock(mutex);
        const auto found = watched.find(fd);
        if (found == watched.end()) {
            return nullptr;
        }
        if (session != nullptr) {
            *session = found->second.session;
        }
        return found->second.watch;
    }
};

Registry& registry() {
    static Registry* const instance = new Registry();
    return *instance;
}

int socket_of(gnutls_transport_ptr_t transport) {
    return static_cast<int>(reinterpret_cast<std::intptr_t>(transport));
}

ssize_t direct_pull(gnutls_transport_ptr_t transport, void* data, size_t size) {
    return recv(socket_of(transport), data, size, 0);
}

// A request line starts with a method, in capitals; a TLS record with its type (20 to 24), an
// SSL 2 hello with a byte of 0x80 or more.
bool looks_like_http(unsigned char first) {
    return first >= 'A' && first <= 'Z';
}

// Reads what the client sent (so that closing the socket does not reset the connection before
// the client reads the answer) and answers 400.
void answer_plain_http(int fd) {
    char discarded[4096];
    for (int i = 0; i < 16 && recv(fd, discarded, sizeof discarded, MSG_DONTWAIT) > 0; ++i) {
    }
    const ssize_t sent = send(fd, kPlainHttpOnTlsReply, std::strlen(kPlainHttpOnTlsReply),
                              MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)sent;
}

// The first read of a session: the client's first bytes decide what it speaks; later reads go
// straight to the socket.
ssize_t first_pull(gnutls_transport_ptr_t transport, void* data, size_t size) {
    const int fd = socket_of(transport);
    const ssize_t n = recv(fd, data, size, 0);
    if (n <= 0) {
        return n;
    }
    gnutls_session_t session = nullptr;
    const std::shared_ptr<TlsWatch> watch = registry().find(fd, &session);
    if (!watch) {
        return n;
    }
    watch->spoke = true;
    gnutls_transport_set_pull_function(session, &direct_pull);
    if (!looks_like_http(static_cast<unsigned char*>(data)[0])) {
        return n;
    }
    watch->plain_http = true;
    answer_plain_http(fd);
    errno = ECONNRESET;
    return -1;
}

// After the client's Finished message the handshake is complete (for the server, in every
// version and with resumption).
int on_finished(gnutls_session_t session, unsigned /*type*/, unsigned /*when*/, unsigned incoming,
                const gnutls_datum_t* /*message*/) {
    if (incoming != 0) {
        const std::shared_ptr<TlsWatch> watch = registry().find(gnutls_transport_get_int(session));
        if (watch) {
            watch->completed = true;
        }
    }
    return 0;
}

}  // namespace

std::shared_ptr<const TlsWatch> watch_tls_connection(void* session_handle, int fd) {
    const auto session = static_cast<gnutls_session_t>(session_handle);
    auto watch = std::make_shared<TlsWatch>();
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        r.watched[fd] = Watched{session, watch};
    }
    gnutls_transport_set_pull_function(session, &first_pull);
    gnutls_handshake_set_hook_function(session, GNUTLS_HANDSHAKE_FINISHED, GNUTLS_HOOK_POST,
                                       &on_finished);
    return watch;
}

void unwatch_tls_connection(int fd) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.watched.erase(fd);
}

}  // namespace vorlix::kestrel::exporter
