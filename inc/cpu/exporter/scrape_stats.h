// The exporter's figures about its own HTTP answers: requests answered by status code,
// requests in flight, and the time a request on the telemetry path takes, as a histogram.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>

namespace vorlix::kestrel::exporter {

class ScrapeStats {
  public:
    // Upper bounds of the duration histogram's buckets, in seconds (+Inf follows).
    static constexpr std::array<double, 12> kBuckets = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
                                                        0.05,   0.1,   0.25,   0.5,   1.0,  2.5};

    ScrapeStats();

    // A request is complete (its head, and its body if any): counts it in flight; returns how
    // many are in flight now.
    unsigned begin();
    // The request ended with `code` after `seconds`; `telemetry` when it was for the
    // telemetry path (only those are timed).
    void end(unsigned code, double seconds, bool telemetry);
    // The request ended without an answer (the client went away first).
    void abandon();

    struct Figures {
        // Requests answered, by code: 200, 401, 404, 500 and 503 from the start, others once
        // seen.
        std::map<unsigned, std::uint64_t> answered;
        unsigned in_flight = 0;
        std::array<std::uint64_t, kBuckets.size()> buckets{};  // not cumulative here
        std::uint64_t count = 0;
        double sum = 0.0;
    };
    // The figures at one instant, all taken under one lock.
    Figures figures() const;

  private:
    mutable std::mutex mutex_;
    Figures figures_;
};

}  // namespace vorlix::kestrel::exporter
