// Per core: whether its session samples, its utilisations and clock, its sample counters, the
// time of its last sample and what it is.
#include <string>

#include "cpu/exporter/collector.h"

namespace vorlix::kestrel::exporter {

namespace {

enum Family { kUp, kUtilization, kClock, kSamples, kErrors, kLastSample, kInfo };

// The utilisation and clock of a core appear only while it is up and has a complete sample; its
// counters, info and last sample time stay after a failure.
bool shows_figures(const CoreSnapshot& core) {
    return core.up && core.has_sample;
}

class CoresCollector : public Collector {
  public:
    const std::vector<MetricFamily>& families() const override {
        static const std::vector<MetricFamily> families = {
            {"kestrel_dsp_up", "gauge",
             "1 while the core's session is open and sampling, 0 after a failure."},
            {"kestrel_dsp_utilization_ratio", "gauge",
             "Busy share of the core's engine over the last complete sampling window."},
            {"kestrel_dsp_clock_hertz", "gauge",
             "DSP clock at the end of the last complete sampling window."},
            {"kestrel_dsp_samples_total", "counter",
             "Complete samples taken on the core since the exporter started."},
            {"kestrel_dsp_sample_errors_total", "counter",
             "Failed session openings and samples on the core since the exporter started."},
            {"kestrel_dsp_last_sample_timestamp_seconds", "gauge",
             "Time of the core's last complete sample, in seconds since the epoch."},
            {"kestrel_dsp_info", "gauge",
             "The core's architecture, the board's SoC and the board itself; always 1."},
        };
        return families;
    }

    void collect(const Exposition& data, SampleWriter& out) const override {
        for (const auto& core : data.cores) {
            out.sample(kUp, {{"domain", core.domain}}, core.up ? "1" : "0");
        }
        for (const auto& core : data.cores) {
            if (!shows_figures(core)) {
                continue;
            }
            out.sample(kUtilization, {{"domain", core.domain}, {"engine", "qdsp6"}},
                       format_value(core.figures.qdsp6));
            if (core.legacy) {
                continue;
            }
            out.sample(kUtilization, {{"domain", core.domain}, {"engine", "hvx"}},
                       format_value(core.figures.hvx));
            out.sample(kUtilization, {{"domain", core.domain}, {"engine", "hmx"}},
                       format_value(core.figures.hmx));
        }
        for (const auto& core : data.cores) {
            if (shows_figures(core)) {
                out.sample(kClock, {{"domain", core.domain}}, format_value(core.figures.clock_hz));
            }
        }
        for (const auto& core : data.cores) {
            out.sample(kSamples, {{"domain", core.domain}}, std::to_string(core.samples));
        }
        for (const auto& core : data.cores) {
            out.sample(kErrors, {{"domain", core.domain}}, std::to_string(core.errors));
        }
        for (const auto& core : data.cores) {
            if (core.samples != 0) {
                out.sample(kLastSample, {{"domain", core.domain}}, format_value(core.timestamp));
            }
        }
        for (const auto& core : data.cores) {
            out.sample(kInfo,
                       {{"domain", core.domain},
                        {"arch", core.arch},
                        {"soc", data.soc},
                        {"soc_id", data.soc_id},
                        {"machine", data.machine},
                        {"host", data.host}},
                       "1");
        }
    }
};

}  // namespace

std::unique_ptr<const Collector> cores_collector() {
    return std::make_unique<CoresCollector>();
}

}  // namespace vorlix::kestrel::exporter
