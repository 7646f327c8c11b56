// kestrel-exporter on the virtual board as a server: started in the background through the
// board runner, scraped over HTTP, stopped with a signal; and reading values out of the text
// exposition.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "http_client.h"

namespace exporter_test {

// The HTTP client of the tests (support/http_client.h).
using kestrel_test::http_exchange;
using kestrel_test::http_get;
using kestrel_test::HttpResponse;

// The value of the series `series` (name and labels exactly as printed, e.g.
// kestrel_dsp_up{domain="cdsp"}) in an exposition; NaN when it is not there.
double value_of(const std::string& exposition, const std::string& series);
// How many series of the family `name` the exposition holds.
int count_series(const std::string& exposition, const std::string& name);

// Starts `argv` in its own process group with standard input from /dev/null and standard output
// and error appended to the two files; its pid (the test fails when fork fails).
pid_t start_background(const std::vector<std::string>& argv, const std::string& out,
                       const std::string& err);
// One request over TLS to 127.0.0.1:`port` (GnuTLS; the server's certificate is not verified),
// the whole answer read until the server closes; status 0 when the handshake or the exchange
// fails, or no answer comes within 30 s. With `source`, from that local address.
HttpResponse https_exchange(int port, const std::string& request, const char* source = nullptr);

// A connection to 127.0.0.1:`port` from `source` (any loopback address when null), with a
// receive timeout of 30 s; -1 when it cannot be made.
int connect_to(int port, const char* source = nullptr);

// One keep-alive connection to 127.0.0.1:`port` from `source`, for requests one after another.
class KeepAliveClient {
  public:
    KeepAliveClient(int port, const char* source);
    ~KeepAliveClient();
    KeepAliveClient(const KeepAliveClient&) = delete;
    KeepAliveClient& operator=(const KeepAliveClient&) = delete;

    // Sends `request` and reads one answer: its head, then as many bytes as its Content-Length
    // says. Status 0 when the connection failed or closed, or nothing came within 30 s.
    HttpResponse exchange(const std::string& request);

  private:
    int fd_ = -1;
    std::string pending_;  // bytes read beyond the last answer
};

// A free TCP port on 127.0.0.1 at the time of the call.
int free_port();

// Test certificates made with openssl in `dir`: ca.crt/ca.key (a CA), server.crt/server.key
// (signed by it, for IP 127.0.0.1), client.crt/client.key (signed by it), and of another CA
// (otherca.crt/otherca.key) otherserver.crt/otherserver.key (for IP 127.0.0.1) and
// stranger.crt/stranger.key (a client certificate). False when openssl fails.
bool make_certificates(const std::string& dir);
// A bcrypt hash of `password` at `cost` (htpasswd), "" when it cannot be made.
std::string bcrypt_hash(const std::string& password, int cost = 4);
// Writes `text` to `path` through a temporary file renamed into place.
void write_file(const std::string& path, const std::string& text);

// One request with curl: the status ("000" when no HTTP answer came) and curl's exit status.
struct CurlResult {
    std::string status;
    int exit_code = -1;
    std::string body;
};
CurlResult curl(const std::vector<std::string>& args, const std::string& url);

// The exporter, started through the board runner with "--listen 127.0.0.1:0" and `args`, and
// `env` ("NAME=VALUE") added to its environment, the runner started through `wrapper` (a
// command that execs the rest, e.g. prlimit) when given; the constructor returns once it
// listens (the test fails when it does not within the deadline).
class ExporterOnBoard {
  public:
    ExporterOnBoard(const std::string& board, const std::vector<std::string>& args,
                    const std::vector<std::string>& env = {},
                    const std::vector<std::string>& wrapper = {});
    ~ExporterOnBoard();
    ExporterOnBoard(const ExporterOnBoard&) = delete;
    ExporterOnBoard& operator=(const ExporterOnBoard&) = delete;

    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    // Whether it still runs; once it has ended, how (the signal that ended it, 0 for an exit)
    // is in `signal`.
    bool running(int* signal = nullptr);
    // Standard error so far.
    std::string err() const;
    // Scrapes /metrics until `ready` holds for the text or `deadline` passes (a readiness wait);
    // returns the last exposition.
    std::string scrape_until(const std::function<bool(const std::string&)>& ready,
                             std::chrono::seconds deadline = std::chrono::seconds(60));
    // Sends `signo` to the exporter alone and waits for its end: status, output and trace.
    e2e::BoardRun stop(int signo);

  private:
    std::string dir_;
    pid_t pid_ = -1;
    int port_ = 0;
    int ended_status_ = -1;  // the wait status once running() saw the end
};

// A real Prometheus server (Debian's prometheus) on a free loopback port with `config` as its
// prometheus.yml, in a temporary directory of its own; in agent mode (`agent`) it keeps no TSDB
// and has no query API. Stopped and its directory removed by the destructor.
class PrometheusServer {
  public:
    explicit PrometheusServer(const std::string& config, bool agent = false);
    ~PrometheusServer();
    PrometheusServer(const PrometheusServer&) = delete;
    PrometheusServer& operator=(const PrometheusServer&) = delete;

    int port() const { return port_; }
    // The "result" array of the instant query `expr` through the query API; null when the
    // answer is not a successful one (the body is kept in `answer` when given).
    nlohmann::json query(const std::string& expr, std::string* answer = nullptr) const;
    // Repeats the query until `ready` holds for its result or `deadline` passes (a readiness
    // wait: the server scrapes once a second); the last result.
    nlohmann::json query_until(const std::string& expr,
                               const std::function<bool(const nlohmann::json&)>& ready,
                               std::chrono::seconds deadline = std::chrono::seconds(90)) const;
    // What the server wrote on standard output and error so far.
    std::string log() const;

  private:
    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// `text` percent-encoded for a URL's query string.
std::string url_encode(const std::string& text);

}  // namespace exporter_test
