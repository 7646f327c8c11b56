// The exporter's text exposition from its collectors: families in their order with HELP and
// TYPE, the series of up, down and legacy cores, of remote processors and trip points, the
// exporter's own families, the writer's order, label escaping and number spelling.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "cpu/exporter/collector.h"
#include "cpu/exporter/exposition.h"
#include "cpu/exporter/scrape_stats.h"

namespace {

using vorlix::kestrel::exporter::Collector;
using vorlix::kestrel::exporter::Collectors;
using vorlix::kestrel::exporter::CoreSnapshot;
using vorlix::kestrel::exporter::escape_label_value;
using vorlix::kestrel::exporter::Exposition;
using vorlix::kestrel::exporter::exposition_collectors;
using vorlix::kestrel::exporter::format_value;
using vorlix::kestrel::exporter::MetricFamily;
using vorlix::kestrel::exporter::render_exposition;
using vorlix::kestrel::exporter::SampleWriter;
using vorlix::kestrel::exporter::scrapes_collector;
using vorlix::kestrel::exporter::ScrapeStats;

CoreSnapshot core(const char* domain, bool up, bool legacy) {
    CoreSnapshot c;
    c.domain = domain;
    c.arch = "V73";
    c.legacy = legacy;
    c.up = up;
    c.has_sample = up;
    c.samples = 7;
    c.errors = 2;
    c.figures = {0.5f, 0.25f, 0.125f, 1.4e9f};
    c.timestamp = 1800000000.25;
    return c;
}

// The lines of `text` that start with `prefix`.
std::vector<std::string> lines_starting(const std::string& text, const std::string& prefix) {
    std::vector<std::string> found;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            found.push_back(line);
        }
    }
    return found;
}

TEST(Exposition, FamiliesInOrderWithTheSeriesOfUpDownAndLegacyCores) {
    Exposition data;
    data.cores = {core("nsp0", true, false), core("nsp1", false, false), core("cdsp", true, true)};
    // A second trip point of a type is not shown; cdsp has no remote processor listed.
    data.zones = {
        {"nsp0", 45.5, {{"passive", 95}, {"hot", 100.5}, {"passive", 99}, {"critical", 115}}}};
    data.remoteprocs = {{"adsp", "running", ""}, {"nsp1", "crashed", ""}, {"nsp0", "running", ""}};
    data.soc = "SA8797P";
    data.soc_id = "690";
    data.machine = "SA8797P";
    data.host = "board-17";
    data.version = "2.3.0";
    data.commit = "abc1234";
    EXPECT_EQ(
        render_exposition(data),
        R"(# HELP kestrel_dsp_up 1 while the core's session is open and sampling, 0 after a failure.
# TYPE kestrel_dsp_up gauge
kestrel_dsp_up{domain="nsp0"} 1
kestrel_dsp_up{domain="nsp1"} 0
kestrel_dsp_up{domain="cdsp"} 1
# HELP kestrel_dsp_utilization_ratio Busy share of the core's engine over the last complete sampling window.
# TYPE kestrel_dsp_utilization_ratio gauge
kestrel_dsp_utilization_ratio{domain="nsp0",engine="qdsp6"} 0.5
kestrel_dsp_utilization_ratio{domain="nsp0",engine="hvx"} 0.25
kestrel_dsp_utilization_ratio{domain="nsp0",engine="hmx"} 0.125
kestrel_dsp_utilization_ratio{domain="cdsp",engine="qdsp6"} 0.5
# HELP kestrel_dsp_clock_hertz DSP clock at the end of the last complete sampling window.
# TYPE kestrel_dsp_clock_hertz gauge
kestrel_dsp_clock_hertz{domain="nsp0"} 1400000000
kestrel_dsp_clock_hertz{domain="cdsp"} 1400000000
# HELP kestrel_dsp_samples_total Complete samples taken on the core since the exporter started.
# TYPE kestrel_dsp_samples_total counter
kestrel_dsp_samples_total{domain="nsp0"} 7
kestrel_dsp_samples_total{domain="nsp1"} 7
kestrel_dsp_samples_total{domain="cdsp"} 7
# HELP kestrel_dsp_sample_errors_total Failed session openings and samples on the core since the exporter started.
# TYPE kestrel_dsp_sample_errors_total counter
kestrel_dsp_sample_errors_total{domain="nsp0"} 2
kestrel_dsp_sample_errors_total{domain="nsp1"} 2
kestrel_dsp_sample_errors_total{domain="cdsp"} 2
# HELP kestrel_dsp_last_sample_timestamp_seconds Time of the core's last complete sample, in seconds since the epoch.
# TYPE kestrel_dsp_last_sample_timestamp_seconds gauge
kestrel_dsp_last_sample_timestamp_seconds{domain="nsp0"} 1800000000.25
kestrel_dsp_last_sample_timestamp_seconds{domain="nsp1"} 1800000000.25
kestrel_dsp_last_sample_timestamp_seconds{domain="cdsp"} 1800000000.25
# HELP kestrel_dsp_info The core's architecture, the board's SoC and the board itself; always 1.
# TYPE kestrel_dsp_info gauge
kestrel_dsp_info{domain="nsp0",arch="V73",soc="SA8797P",soc_id="690",machine="SA8797P",host="board-17"} 1
kestrel_dsp_info{domain="nsp1",arch="V73",soc="SA8797P",soc_id="690",machine="SA8797P",host="board-17"} 1
kestrel_dsp_info{domain="cdsp",arch="V73",soc="SA8797P",soc_id="690",machine="SA8797P",host="board-17"} 1
# HELP kestrel_dsp_temperature_celsius Temperature of the kernel's NSP thermal zones.
# TYPE kestrel_dsp_temperature_celsius gauge
kestrel_dsp_temperature_celsius{zone="nsp0"} 45.5
# HELP kestrel_dsp_remoteproc_up 1 while the kernel reports the core's remote processor running or attached, 0 otherwise.
# TYPE kestrel_dsp_remoteproc_up gauge
kestrel_dsp_remoteproc_up{domain="nsp0"} 1
kestrel_dsp_remoteproc_up{domain="nsp1"} 0
# HELP kestrel_dsp_temperature_trip_celsius Temperature of the trip points of the kernel's NSP thermal zones, the first of each type.
# TYPE kestrel_dsp_temperature_trip_celsius gauge
kestrel_dsp_temperature_trip_celsius{zone="nsp0",type="passive"} 95
kestrel_dsp_temperature_trip_celsius{zone="nsp0",type="hot"} 100.5
kestrel_dsp_temperature_trip_celsius{zone="nsp0",type="critical"} 115
# HELP kestrel_exporter_build_info The exporter's version and source revision; always 1.
# TYPE kestrel_exporter_build_info gauge
kestrel_exporter_build_info{version="2.3.0",commit="abc1234"} 1
)");
}

TEST(Exposition, ACoreWithoutASampleHasNoTimestamp) {
    Exposition data;
    CoreSnapshot fresh;
    fresh.domain = "cdsp";
    data.cores = {fresh};
    const std::string text = render_exposition(data);
    EXPECT_EQ(text.find("kestrel_dsp_last_sample_timestamp_seconds{"), std::string::npos);
    EXPECT_NE(text.find("kestrel_dsp_samples_total{domain=\"cdsp\"} 0\n"), std::string::npos);
}

TEST(Exposition, ScrapeFamiliesCountAnswersByCodeAndTimeTheTelemetryRequests) {
    ScrapeStats stats;
    stats.begin();
    stats.end(200, 0.25, true);  // on a bucket's bound: counted in it
    stats.begin();
    stats.end(404, 0.0001, false);  // not a request for the metrics: not timed
    stats.begin();
    stats.end(418, 3.0, true);  // a code seen once; beyond the last bound
    stats.begin();
    stats.begin();
    stats.abandon();
    Collectors list;
    list.push_back(scrapes_collector(stats));
    EXPECT_EQ(
        render_exposition(list, Exposition()),
        R"(# HELP kestrel_exporter_scrapes_total HTTP requests answered by the exporter, by status code.
# TYPE kestrel_exporter_scrapes_total counter
kestrel_exporter_scrapes_total{code="200"} 1
kestrel_exporter_scrapes_total{code="401"} 0
kestrel_exporter_scrapes_total{code="404"} 1
kestrel_exporter_scrapes_total{code="418"} 1
kestrel_exporter_scrapes_total{code="500"} 0
kestrel_exporter_scrapes_total{code="503"} 0
# HELP kestrel_exporter_scrapes_in_flight HTTP requests being answered, this one included.
# TYPE kestrel_exporter_scrapes_in_flight gauge
kestrel_exporter_scrapes_in_flight 1
# HELP kestrel_exporter_scrape_duration_seconds Time from a request for the metrics to the end of its answer.
# TYPE kestrel_exporter_scrape_duration_seconds histogram
kestrel_exporter_scrape_duration_seconds_bucket{le="0.0005"} 0
kestrel_exporter_scrape_duration_seconds_bucket{le="0.001"} 0
kestrel_exporter_scrape_duration_seconds_bucket{le="0.0025"} 0
kestrel_exporter_scrape_duration_seconds_bucket{le="0.005"} 0
kestrel_exporter_scrape_duration_seconds_bucket{le="0.01"} 0
kestrel_exporter_scrape_duration_seconds_bucket{le="0.025"} 0
kestrel_exporter_scrape_duration_seconds_bucket{le="0.05"} 0
kestrel_exporter_scrape_duration_seconds_bucket{le="0.1"} 0
kestrel_exporter_scrape_duration_seconds_bucket{le="0.25"} 1
kestrel_exporter_scrape_duration_seconds_bucket{le="0.5"} 1
kestrel_exporter_scrape_duration_seconds_bucket{le="1"} 1
kestrel_exporter_scrape_duration_seconds_bucket{le="2.5"} 1
kestrel_exporter_scrape_duration_seconds_bucket{le="+Inf"} 2
kestrel_exporter_scrape_duration_seconds_sum 3.25
kestrel_exporter_scrape_duration_seconds_count 2
)");
}

TEST(Exposition, TheExportersOwnFamiliesComeLastAndOnlyWhenAsked) {
    ScrapeStats stats;
    const std::string served = render_exposition(exposition_collectors(&stats), Exposition());
    const auto types = lines_starting(served, "# TYPE ");
    ASSERT_EQ(types.size(), 20u) << served;
    EXPECT_EQ(types[10], "# TYPE kestrel_exporter_build_info gauge");
    EXPECT_EQ(lines_starting(served, "# HELP process_"),
              (std::vector<std::string>{
                  "# HELP process_cpu_seconds_total Total user and system CPU time spent in "
                  "seconds.",
                  "# HELP process_resident_memory_bytes Resident memory size in bytes.",
                  "# HELP process_virtual_memory_bytes Virtual memory size in bytes.",
                  "# HELP process_open_fds Number of open file descriptors.",
                  "# HELP process_max_fds Maximum number of open file descriptors.",
                  "# HELP process_start_time_seconds Start time of the process since unix epoch "
                  "in seconds."}));
    EXPECT_EQ(types[11], "# TYPE process_cpu_seconds_total counter");
    EXPECT_EQ(types[17], "# TYPE kestrel_exporter_scrapes_total counter");
    // Each of the process's figures is readable here.
    EXPECT_EQ(lines_starting(served, "process_").size(), 6u) << served;

    const auto board = lines_starting(render_exposition(Exposition()), "# TYPE ");
    EXPECT_EQ(board, std::vector<std::string>(types.begin(), types.begin() + 11));
}

// Two families; writes the samples `order` names, by family index.
class Scripted : public Collector {
  public:
    explicit Scripted(std::vector<std::size_t> order) : order_(std::move(order)) {}
    const std::vector<MetricFamily>& families() const override {
        static const std::vector<MetricFamily> families = {{"a", "gauge", "A."},
                                                           {"b", "counter", "B."}};
        return families;
    }
    void collect(const Exposition& /*data*/, SampleWriter& out) const override {
        for (const std::size_t family : order_) {
            out.sample(family, {}, "1");
        }
    }

  private:
    std::vector<std::size_t> order_;
};

TEST(Exposition, FamiliesWithoutSamplesKeepTheirHeadersAndAFamilyOutOfOrderIsRefused) {
    const auto render = [](std::vector<std::size_t> order) {
        Collectors list;
        list.push_back(std::make_unique<Scripted>(std::move(order)));
        return render_exposition(list, Exposition());
    };
    EXPECT_EQ(render({}), "# HELP a A.\n# TYPE a gauge\n# HELP b B.\n# TYPE b counter\n");
    EXPECT_EQ(render({1, 1}),
              "# HELP a A.\n# TYPE a gauge\n# HELP b B.\n# TYPE b counter\nb 1\nb 1\n");
    EXPECT_THROW(render({1, 0}), std::logic_error);
    EXPECT_THROW(render({2}), std::logic_error);
}

TEST(Exposition, LabelValuesAreEscapedAndKeptValidUtf8) {
    EXPECT_EQ(escape_label_value("a\\b\"c\nd"), "a\\\\b\\\"c\\nd");
    EXPECT_EQ(escape_label_value("nsp\xc3\xa9"), "nsp\xc3\xa9");
    // A lone continuation byte, a truncated sequence and an overlong form are replaced.
    EXPECT_EQ(escape_label_value("a\x80z"), "a\xef\xbf\xbdz");
    EXPECT_EQ(escape_label_value("a\xe2\x82"), "a\xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_EQ(escape_label_value("\xc0\xaf"), "\xef\xbf\xbd\xef\xbf\xbd");

    Exposition data;
    CoreSnapshot odd;
    odd.domain = "n\"x";
    data.cores = {odd};
    EXPECT_NE(render_exposition(data).find("kestrel_dsp_up{domain=\"n\\\"x\"} 0\n"),
              std::string::npos);
}

TEST(Exposition, NumbersAreSpelledAsPrometheusReadsThem) {
    EXPECT_EQ(format_value(std::nanf("")), "NaN");
    EXPECT_EQ(format_value(std::numeric_limits<float>::infinity()), "+Inf");
    EXPECT_EQ(format_value(-std::numeric_limits<double>::infinity()), "-Inf");
    EXPECT_EQ(format_value(0.45f), "0.45");
    EXPECT_EQ(format_value(1800000000.5), "1800000000.5");
}

}  // namespace
