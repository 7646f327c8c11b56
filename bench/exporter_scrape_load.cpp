// Load figures of kestrel-exporter's HTTP endpoint: CLIENTS concurrent scrapers GET /metrics
// back to back for SECONDS, twice; prints the scrapes, the failures and the exporter's resident
// memory before, between and after the two rounds.
//
//   exporter_scrape_load PORT PID [CLIENTS [SECONDS]]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "http_client.h"

namespace {

using Clock = std::chrono::steady_clock;

// One scrape: true when the answer is a 200 with the exposition.
bool scrape(int port) {
    const kestrel_test::HttpResponse answer = kestrel_test::http_get(port, "/metrics");
    return answer.status == 200 &&
           answer.body.find("kestrel_exporter_build_info{") != std::string::npos;
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
