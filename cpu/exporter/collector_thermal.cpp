// The temperature of the kernel's NSP thermal zones.
#include "cpu/exporter/collector.h"

namespace vorlix::kestrel::exporter {

namespace {

class ThermalCollector : public Collector {
  public:
    const std::vector<MetricFamily>& families() const override {
        static const std::vector<MetricFamily> families = {
            {"kestrel_dsp_temperature_celsius", "gauge",
             "Temperature of the kernel's NSP thermal zones."},
        };
        return families;
    }

    void collect(const Exposition& data, SampleWriter& out) const override {
        for (const auto& zone : data.zones) {
            out.sample(0, {{"zone", zone.type}}, format_value(zone.celsius));
        }
    }
};

}  // namespace

std::unique_ptr<const Collector> thermal_collector() {
    return std::make_unique<ThermalCollector>();
}

}  // namespace vorlix::kestrel::exporter
