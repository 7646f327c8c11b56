// The exporter's HTTP endpoint, served by libmicrohttpd: /metrics with the text exposition, / a
// short page that links to it, 404 for anything else.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

struct MHD_Daemon;

namespace vorlix::kestrel::exporter {

// Where to listen: a host (IPv4 or IPv6 literal, or a name) and a port (0 picks a free one).
struct ListenAddress {
    std::string host;
    std::uint16_t port = 0;
};

// Parses "HOST:PORT", "[IPV6]:PORT" or ":PORT" (every IPv4 address). False, with the reason in
// `error`, for anything else.
bool parse_listen_address(const std::string& text, ListenAddress* out, std::string* error);

class MetricsServer {
  public:
    using Render = std::function<std::string()>;

    MetricsServer() = default;
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Binds and listens on `address` (false, with the reason in `error`, when that fails).
    bool bind(const ListenAddress& address, std::string* error);
    // The bound address as "HOST:PORT" ("[HOST]:PORT" for IPv6), the port as bound.
    std::string bound_address() const;
    // Starts serving on the bound socket; each /metrics request calls `render` on one of the
    // server's threads.
    bool start(Render render, std::string* error);
    // Stops serving and closes the socket; requests in progress are finished first.
    void stop();

  private:
    int socket_ = -1;
    std::string bound_;
    Render render_;
    MHD_Daemon* daemon_ = nullptr;
};

}  // namespace vorlix::kestrel::exporter
