// Counters of the exporter's HTTP answers.
#include "cpu/exporter/scrape_stats.h"

#include <fmt/format.h>

#include "cpu/exporter/exposition.h"

namespace vorlix::kestrel::exporter {

ScrapeStats::ScrapeStats() : answered_{{200, 0}, {401, 0}, {404, 0}, {500, 0}, {503, 0}} {}

unsigned ScrapeStats::begin() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ++in_flight_;
}

void ScrapeStats::end(unsigned code, double seconds, bool telemetry) {
    std::lock_guard<std::mutex> lock(mutex_);
    --in_flight_;
    ++answered_[code];
    if (!telemetry) {
        return;
    }
    ++count_;
    sum_ += seconds;
    for (std::size_t i = 0; i < kBuckets.size(); ++i) {
        if (seconds <= kBuckets[i]) {
            ++buckets_[i];
            break;
        }
    }
}

void ScrapeStats::abandon() {
    std::lock_guard<std::mutex> lock(mutex_);
    --in_flight_;
}

std::string ScrapeStats::render() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out;
    out +=
        "# HELP kestrel_exporter_scrapes_total HTTP requests answered by the exporter, by "
        "status code.\n"
        "# TYPE kestrel_exporter_scrapes_total counter\n";
    for (const auto& [code, count] : answered_) {
        out += fmt::format("kestrel_exporter_scrapes_total{{code=\"{}\"}} {}\n", code, count);
    }
    out +=
        "# HELP kestrel_exporter_scrapes_in_flight HTTP requests being answered, this one "
        "included.\n"
        "# TYPE kestrel_exporter_scrapes_in_flight gauge\n";
    out += fmt::format("kestrel_exporter_scrapes_in_flight {}\n", in_flight_);
    out +=
        "# HELP kestrel_exporter_scrape_duration_seconds Time from a request for the metrics to "
        "the end of its answer.\n"
        "# TYPE kestrel_exporter_scrape_duration_seconds histogram\n";
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < kBuckets.size(); ++i) {
        cumulative += buckets_[i];
        out += fmt::format("kestrel_exporter_scrape_duration_seconds_bucket{{le=\"{}\"}} {}\n",
                           format_value(kBuckets[i]), cumulative);
    }
    out +=
        fmt::format("kestrel_exporter_scrape_duration_seconds_bucket{{le=\"+Inf\"}} {}\n", count_);
    out += fmt::format("kestrel_exporter_scrape_duration_seconds_sum {}\n", format_value(sum_));
    out += fmt::format("kestrel_exporter_scrape_duration_seconds_count {}\n", count_);
    return out;
}

}  // namespace vorlix::kestrel::exporter
