// The exporter's own HTTP answers: requests answered by status code, requests in flight, and the
// time requests for the metrics take, as a histogram.
#include <string>

#include "cpu/exporter/collector.h"
#include "cpu/exporter/scrape_stats.h"

namespace vorlix::kestrel::exporter {

namespace {

enum Family { kAnswered, kInFlight, kDuration };

class ScrapesCollector : public Collector {
  public:
    explicit ScrapesCollector(const ScrapeStats& stats) : stats_(stats) {}

    const std::vector<MetricFamily>& families() const override {
        static const std::vector<MetricFamily> families = {
            {"kestrel_exporter_scrapes_total", "counter",
             "HTTP requests answered by the exporter, by status code."},
            {"kestrel_exporter_scrapes_in_flight", "gauge",
             "HTTP requests being answered, this one included."},
            {"kestrel_exporter_scrape_duration_seconds", "histogram",
             "Time from a request for the metrics to the end of its answer."},
        };
        return families;
    }

    void collect(const Exposition& /*data*/, SampleWriter& out) const override {
        const ScrapeStats::Figures f = stats_.figures();
        for (const auto& [code, count] : f.answered) {
            out.sample(kAnswered, {{"code", std::to_string(code)}}, std::to_string(count));
        }
        out.sample(kInFlight, {}, std::to_string(f.in_flight));
        std::uint64_t cumulative = 0;
        for (std::size_t i = 0; i < ScrapeStats::kBuckets.size(); ++i) {
            cumulative += f.buckets[i];
            out.sample(kDuration, "_bucket", {{"le", format_value(ScrapeStats::kBuckets[i])}},
                       std::to_string(cumulative));
        }
        out.sample(kDuration, "_bucket", {{"le", "+Inf"}}, std::to_string(f.count));
        out.sample(kDuration, "_sum", {}, format_value(f.sum));
        out.sample(kDuration, "_count", {}, std::to_string(f.count));
    }

  private:
    const ScrapeStats& stats_;
};

}  // namespace

std::unique_ptr<const Collector> scrapes_collector(const ScrapeStats& stats) {
    return std::make_unique<ScrapesCollector>(stats);
}

}  // namespace vorlix::kestrel::exporter
