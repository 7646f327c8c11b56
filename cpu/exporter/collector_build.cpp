// The exporter's version and source revision.
#include "cpu/exporter/collector.h"

namespace vorlix::kestrel::exporter {

namespace {

class BuildCollector : public Collector {
  public:
    const std::vector<MetricFamily>& families() const override {
        static const std::vector<MetricFamily> families = {
            {"kestrel_exporter_build_info", "gauge",
             "The exporter's version and source revision; always 1."},
        };
        return families;
    }

    void collect(const Exposition& data, SampleWriter& out) const override {
        out.sample(0, {{"version", data.version}, {"commit", data.commit}}, "1");
    }
};

}  // namespace

std::unique_ptr<const Collector> build_collector() {
    return std::make_unique<BuildCollector>();
}

}  // namespace vorlix::kestrel::exporter
