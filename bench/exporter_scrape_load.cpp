// Load figures of kestrel-exporter's HTTP endpoint: scrape latency (median and 99th percentile)
// with 1, 10 and 100 concurrent scrapers, each on its own keep-alive connection (over TLS when
// asked, with a password, or asking for gzip), and the exporter's peak resident memory after
// 100 further scrapes and after 10,000 further.
//
//   exporter_scrape_load PORT PID MODE [CA_FILE [USER:PASSWORD]]
//
// MODE is plain, gzip, tls or tls-auth; CA_FILE verifies the server's certificate in the TLS
// modes. MODE attack is the password attack of attack() below, over plain HTTP. Each scraper
// connects from its own loopback address (127.0.1.N), as separate clients do, so that the
// exporter's per-client connection limit does not apply.
#include <arpa/inet.h>
#include <gnutls/gnutls.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Settings {
    int port = 0;
    std::string mode;
    std::string ca;
    std::string auth;  // base64 of USER:PASSWORD, empty for none
};

std::string base64(const std::string& in) {
    static const char* table = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < in.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size())
            v |= static_cast<unsigned char>(in[i + 1]) << 8;
        if (i + 2 < in.size())
            v |= static_cast<unsigned char>(in[i + 2]);
        out += table[(v >> 18) & 63];
        out += table[(v >> 12) & 63];
        out += i + 1 < in.size() ? table[(v >> 6) & 63] : '=';
        out += i + 2 < in.size() ? table[v & 63] : '=';
    }
    return out;
}

// One keep-alive connection, plain or TLS.
class Connection {
  public:
    Connection(const Settings& settings, int client) : settings_(settings) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(0x7f000100u + static_cast<unsigned>(client % 250) + 1);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(settings.port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
            connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            return;
        }
        if (settings.mode.compare(0, 3, "tls") == 0) {
            gnutls_certificate_allocate_credentials(&credentials_);
            gnutls_certificate_set_x509_trust_file(credentials_, settings.ca.c_str(),
                                                   GNUTLS_X509_FMT_PEM);
            gnutls_init(&session_, GNUTLS_CLIENT);
            gnutls_set_default_priority(session_);
            gnutls_credentials_set(session_, GNUTLS_CRD_CERTIFICATE, credentials_);
            gnutls_session_set_verify_cert(session_, nullptr, 0);
            gnutls_transport_set_int(session_, fd_);
            int rc;
            do {
                rc = gnutls_handshake(session_);
            } while (rc < 0 && gnutls_error_is_fatal(rc) == 0);
            if (rc < 0) {
                return;
            }
        }
        ok_ = true;
    }
    ~Connection() {
        if (session_ != nullptr) {
            gnutls_bye(session_, GNUTLS_SHUT_WR);
            gnutls_deinit(session_);
        }
        if (credentials_ != nullptr) {
            gnutls_certificate_free_credentials(credentials_);
        }
        if (fd_ >= 0) {
            close(fd_);
        }
    }

    // One GET of /metrics: true for a 200 with a body of its Content-Length.
    bool scrape() {
        if (!ok_) {
            return false;
        }
        std::string request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n";
        if (settings_.mode == "gzip") {
            request += "Accept-Encoding: gzip\r\n";
        }
        if (!settings_.auth.empty()) {
            request += "Authorization: Basic " + settings_.auth + "\r\n";
        }
        request += "\r\n";
        if (!send_all(request)) {
            return ok_ = false;
        }
        std::string data;
        std::size_t head_end;
        while ((head_end = data.find("\r\n\r\n")) == std::string::npos) {
            if (!receive(&data)) {
                return ok_ = false;
            }
        }
        const std::size_t at = data.find("Content-Length: ");
        const std::size_t length =
            at == std::string::npos ? 0 : std::strtoul(data.c_str() + at + 16, nullptr, 10);
        while (data.size() < head_end + 4 + length) {
            if (!receive(&data)) {
                return ok_ = false;
            }
        }
        return data.compare(0, 12, "HTTP/1.1 200") == 0 && length > 0;
    }

  private:
    bool send_all(const std::string& text) {
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n =
                session_ != nullptr
                    ? gnutls_record_send(session_, text.data() + done, text.size() - done)
                    : send(fd_, text.data() + done, text.size() - done, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    bool receive(std::string* data) {
        char buffer[16384];
        const ssize_t n = session_ != nullptr ? gnutls_record_recv(session_, buffer, sizeof buffer)
                                              : recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return false;
        }
        data->append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    const Settings& settings_;
    int fd_ = -1;
    bool ok_ = false;
    gnutls_session_t session_ = nullptr;
    gnutls_certificate_credentials_t credentials_ = nullptr;
};

// Peak resident memory (VmHWM) of the process in KiB, -1 when unknown.
long peak_kib(long pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, 6, "VmHWM:") == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

// `total` scrapes spread over `clients` concurrent scrapers; prints the latencies.
long level(const Settings& settings, int clients, int total) {
    std::vector<std::vector<double>> times(static_cast<std::size_t>(clients));
    std::atomic<long> failed{0};
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            Connection connection(settings, c);
            for (int i = 0; i < total / clients; ++i) {
                const auto t0 = Clock::now();
                const bool ok = connection.scrape();
                const std::chrono::duration<double, std::milli> took = Clock::now() - t0;
                if (!ok) {
                    ++failed;
                    continue;
                }
                times[static_cast<std::size_t>(c)].push_back(took.count());
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::vector<double> all;
    for (const auto& t : times) {
        all.insert(all.end(), t.begin(), t.end());
    }
    std::sort(all.begin(), all.end());
    const auto pct = [&](double p) {
        return all.empty() ? 0.0 : all[static_cast<std::size_t>(p * (all.size() - 1))];
    };
    std::printf(
        "%-8s %3d scrapers: %6zu scrapes, p50 %7.3f ms, p99 %7.3f ms, %7.0f/s, %ld failed\n",
        settings.mode.c_str(), clients, all.size(), pct(0.5), pct(0.99),
        static_cast<double>(all.size()) / seconds, failed.load());
    return static_cast<long>(all.size());
}

// One request on a connection of its own from `source`: the status (0 for none) and the time
// to the end of the answer, in milliseconds.
std::pair<int, double> one_shot(int port, std::uint32_t source, const std::string& request) {
    const auto t0 = Clock::now();
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(source);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
        char buffer[4096];
        for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) {
            answer.append(buffer, static_cast<std::size_t>(n));
        }
    }
    close(fd);
    const int status = answer.compare(0, 5, "HTTP/") == 0 ? std::atoi(answer.c_str() + 9) : 0;
    return {status, std::chrono::duration<double, std::milli>(Clock::now() - t0).count()};
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[static_cast<std::size_t>(p * (values.size() - 1))];
}

// 16 clients from other addresses send wrong passwords (half) and unknown users (half), each
// request on a new connection, as fast as they are answered, while a verified scraper polls
// every 100 ms on its keep-alive connection for `seconds`.
void attack(const Settings& settings, int seconds) {
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::map<int, long> answers;
    std::vector<double> wrong_password, unknown_user;  // the times of their 401s
    std::vector<std::thread> attackers;
    for (int i = 0; i < 16; ++i) {
        attackers.emplace_back([&, i] {
            const std::string credentials = base64(i % 2 == 0 ? "bench:wrong" : "mallory:secret");
            const std::string request =
                "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                "Authorization: Basic " +
                credentials + "\r\nConnection: close\r\n\r\n";
            while (!stop) {
                const auto [status, ms] =
                    one_shot(settings.port, 0x7f000200u + static_cast<unsigned>(i) + 1, request);
                std::lock_guard<std::mutex> lock(mutex);
                ++answers[status];
                if (status == 401) {
                    (i % 2 == 0 ? wrong_password : unknown_user).push_back(ms);
                }
            }
        });
    }
    Connection scraper(settings, 0);
    std::vector<double> polls;
    long lost = 0;
    for (const auto end = Clock::now() + std::chrono::seconds(seconds); Clock::now() < end;) {
        const auto t0 = Clock::now();
        if (!scraper.scrape()) {
            ++lost;
        }
        polls.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        std::this_thread::sleep_until(t0 + std::chrono::milliseconds(100));
    }
    stop = true;
    for (auto& t : attackers) {
        t.join();
    }
    std::printf(
        "attack   verified scraper: %zu polls, p50 %7.3f ms, p99 %7.3f ms, max %7.3f ms, "
        "%ld lost\n",
        polls.size(), percentile(polls, 0.5), percentile(polls, 0.99), percentile(polls, 1.0),
        lost);
    std::printf(
        "attack   16 attackers: 401 %ld (wrong password p50 %.0f ms, unknown user p50 "
        "%.0f ms), 429 %ld, 503 %ld, other %ld\n",
        answers[401], percentile(wrong_password, 0.5), percentile(unknown_user, 0.5), answers[429],
        answers[503], answers[0] + answers[200] + answers[500]);
}

// 1,100 idle connections from 22 addresses (50 each, fewer than one address may hold) to an
// exporter started with a soft limit of 1024 descriptors, then `scrapes` scrapes, each on a new
// connection from an address of its own: how long a new scraper waits.
void idle(const Settings& settings, int scrapes) {
    // This driver needs more descriptors than the exporter is started with.
    rlimit limits{};
    getrlimit(RLIMIT_NOFILE, &limits);
    limits.rlim_cur = limits.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limits);
    std::vector<int> held;
    for (std::uint32_t address = 0; address < 22; ++address) {
        for (int i = 0; i < 50; ++i) {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_addr.s_addr = htonl(0x7f000400u + address + 1);
            sockaddr_in server{};
            server.sin_family = AF_INET;
            server.sin_port = htons(static_cast<uint16_t>(settings.port));
            server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
                connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0) {
                held.push_back(fd);
            } else if (fd >= 0) {
                close(fd);
            }
        }
    }
    const std::string request =
        "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        "Connection: close\r\n\r\n";
    std::vector<double> waits;
    int answered = 0;
    for (int i = 0; i < scrapes; ++i) {
        const auto [status, ms] =
            one_shot(settings.port, 0x7f000500u + static_cast<unsigned>(i) + 1, request);
        answered += status == 200;
        waits.push_back(ms);
    }
    std::printf(
        "idle     %zu idle connections held; %d of %d new scrapers answered 200, p50 %.3f ms, "
        "max %.3f ms\n",
        held.size(), answered, scrapes, percentile(waits, 0.5), percentile(waits, 1.0));
    for (const int fd : held) {
        close(fd);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s PORT PID MODE [CA_FILE [USER:PASSWORD]]\n", argv[0]);
        return 2;
    }
    Settings settings;
    settings.port = std::atoi(argv[1]);
    const long pid = std::atol(argv[2]);
    settings.mode = argv[3];
    settings.ca = argc > 4 ? argv[4] : "";
    settings.auth = argc > 5 ? base64(argv[5]) : "";
    gnutls_global_init();
    if (settings.mode == "idle") {
        idle(settings, 20);
        return 0;
    }
    if (settings.mode == "attack") {
        // Its one bcrypt before the attack.
        level(settings, 1, 10);
        attack(settings, 20);
        return 0;
    }
    // The first scrapes (and with a password, its one bcrypt) before anything is timed.
    level(settings, 1, 100);
    for (const int clients : {1, 10, 100}) {
        level(settings, clients, clients == 1 ? 1000 : 3000);
    }
    // Peak resident memory, once the largest number of connections has been served: after 100
    // more scrapes and after 10,000 more (10 scrapers); flat when nothing accumulates.
    level(settings, 10, 100);
    const long after_100 = peak_kib(pid);
    const long done = level(settings, 10, 10000);
    std::printf("%-8s peak resident memory: %ld KiB after 100 scrapes, %ld KiB after %ld more\n",
                settings.mode.c_str(), after_100, peak_kib(pid), done);
    return 0;
}
