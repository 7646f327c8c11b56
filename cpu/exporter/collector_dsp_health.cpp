// The DSPs' health as the kernel sees it: whether each core's remote processor runs, and the
// trip points of the NSP thermal zones, at which the kernel throttles or shuts the DSP down.
#include "cpu/exporter/collector.h"

namespace vorlix::kestrel::exporter {

namespace {

enum Family { kRemoteprocUp, kTrip };

class DspHealthCollector : public Collector {
  public:
    const std::vector<MetricFamily>& families() const override {
        static const std::vector<MetricFamily> families = {
            {"kestrel_dsp_remoteproc_up", "gauge",
             "1 while the kernel reports the core's remote processor running or attached, 0 "
             "otherwise."},
            {"kestrel_dsp_temperature_trip_celsius", "gauge",
             "Temperature of the trip points of the kernel's NSP thermal zones, the first of each "
             "type."},
        };
        return families;
    }

    void collect(const Exposition& data, SampleWriter& out) const override {
        // A core whose processor the kernel does not list has no series.
        for (const auto& core : data.cores) {
            if (const Remoteproc* proc = remoteproc_for_core(data.remoteprocs, core.domain)) {
                out.sample(kRemoteprocUp, {{"domain", core.domain}},
                           classify_remoteproc_state(proc->state) == DspRun::kRunning ? "1" : "0");
            }
        }
        for (const auto& zone : data.zones) {
            for (const auto& point : zone.trips) {
                if (zone.trip(point.type) == &point) {
                    out.sample(kTrip, {{"zone", zone.type}, {"type", point.type}},
                               format_value(point.celsius));
                }
            }
        }
    }
};

}  // namespace

std::unique_ptr<const Collector> dsp_health_collector() {
    return std::make_unique<DspHealthCollector>();
}

}  // namespace vorlix::kestrel::exporter
