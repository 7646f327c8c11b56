// Load figures of kestrel-exporter's HTTP endpoint: CLIENTS concurrent scrapers GET /metrics
// back to back for SECONDS, twice; prints the scrapes, the failures and the exporter's resident
// memory before, between and after the two rounds.
//
//   exporter_scrape_load PORT PID [CLIENTS [SECONDS]]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// One scrape: true when the answer is a 200 with the exposition.
bool scrape(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    static const std::string request =
        "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    ok = ok && send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
                   static_cast<ssize_t>(request.size());
    std::string answer;
    char buffer[16384];
    for (ssize_t n; ok && (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) {
        answer.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return ok && answer.compare(0, 12, "HTTP/1.1 200") == 0 &&
           answer.find("kestrel_exporter_build_info{") != std::string::npos;
}

// VmRSS of the process in KiB, -1 when unknown.
long resident_kib(long pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, 6, "VmRSS:") == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

void round(int port, int clients, int seconds, const char* name) {
    std::atomic<long> done{0};
    std::atomic<long> failed{0};
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&] {
            while (Clock::now() < end) {
                (scrape(port) ? done : failed)++;
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    std::printf("%s: %d clients, %d s: %ld scrapes (%.0f/s), %ld failed\n", name, clients, seconds,
                done.load(), static_cast<double>(done.load()) / seconds, failed.load());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s PORT PID [CLIENTS [SECONDS]]\n", argv[0]);
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const long pid = std::atol(argv[2]);
    const int clients = argc > 3 ? std::atoi(argv[3]) : 100;
    const int seconds = argc > 4 ? std::atoi(argv[4]) : 10;
    for (int i = 0; i < 100; ++i) {
        scrape(port);
    }
    std::printf("resident memory after 100 warm-up scrapes: %ld KiB\n", resident_kib(pid));
    round(port, clients, seconds, "round 1");
    std::printf("resident memory after round 1: %ld KiB\n", resident_kib(pid));
    round(port, clients, seconds, "round 2");
    std::printf("resident memory after round 2: %ld KiB\n", resident_kib(pid));
    return 0;
}
