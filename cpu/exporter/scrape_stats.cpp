// Counters of the exporter's HTTP answers.
#include "cpu/exporter/scrape_stats.h"

namespace vorlix::kestrel::exporter {

ScrapeStats::ScrapeStats() {
    figures_.answered = {{200, 0}, {401, 0}, {404, 0}, {500, 0}, {503, 0}};
}

unsigned ScrapeStats::begin() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ++figures_.in_flight;
}

void ScrapeStats::end(unsigned code, double seconds, bool telemetry) {
    std::lock_guard<std::mutex> lock(mutex_);
    --figures_.in_flight;
    ++figures_.answered[code];
    if (!telemetry) {
        return;
    }
    ++figures_.count;
    figures_.sum += seconds;
    for (std::size_t i = 0; i < kBuckets.size(); ++i) {
        if (seconds <= kBuckets[i]) {
            ++figures_.buckets[i];
            break;
        }
    }
}

void ScrapeStats::abandon() {
    std::lock_guard<std::mutex> lock(mutex_);
    --figures_.in_flight;
}

ScrapeStats::Figures ScrapeStats::figures() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return figures_;
}

}  // namespace vorlix::kestrel::exporter
