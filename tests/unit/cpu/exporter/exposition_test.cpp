// The exporter's text exposition: families in their order with HELP and TYPE, the series of up,
// down and legacy cores, label escaping and number spelling.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "cpu/exporter/exposition.h"

namespace {

using vorlix::kestrel::exporter::CoreSnapshot;
using vorlix::kestrel::exporter::escape_label_value;
using vorlix::kestrel::exporter::Exposition;
using vorlix::kestrel::exporter::format_value;
using vorlix::kestrel::exporter::render_exposition;

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

TEST(Exposition, FamiliesInOrderWithTheSeriesOfUpDownAndLegacyCores) {
    Exposition data;
    data.cores = {core("nsp0", true, false), core("nsp1", false, false), core("cdsp", true, true)};
    data.zones = {{"nsp0", 45.5, {}}};
    data.soc = "SA8797P";
    data.soc_id = "690";
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
# HELP kestrel_dsp_info The core's architecture and the board's SoC; always 1.
# TYPE kestrel_dsp_info gauge
kestrel_dsp_info{domain="nsp0",arch="V73",soc="SA8797P",soc_id="690"} 1
kestrel_dsp_info{domain="nsp1",arch="V73",soc="SA8797P",soc_id="690"} 1
kestrel_dsp_info{domain="cdsp",arch="V73",soc="SA8797P",soc_id="690"} 1
# HELP kestrel_dsp_temperature_celsius Temperature of the kernel's NSP thermal zones.
# TYPE kestrel_dsp_temperature_celsius gauge
kestrel_dsp_temperature_celsius{zone="nsp0"} 45.5
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
