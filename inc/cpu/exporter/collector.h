// The exposition is made by collectors, one per source, each in a file of its own
// (collector_*.cpp): a collector names the metric families it owns (name, type, HELP text) and,
// at each scrape, writes their samples. The renderer walks one list of collectors in a fixed
// order and gives every family its HELP and TYPE lines, so a family without samples still shows
// them. A new metric is a change to one collector.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cpu/exporter/exposition.h"

namespace vorlix::kestrel::exporter {

class ScrapeStats;

struct MetricFamily {
    const char* name;
    const char* type;  // "gauge", "counter" or "histogram"
    const char* help;
};

// A label's name and its value, not yet escaped.
using Label = std::pair<const char*, std::string_view>;

// Where a collector writes its samples. Samples name their family by its index in the
// collector's families(); a family's samples come together, and the families in their order.
class SampleWriter {
  public:
    SampleWriter(std::string& out, const std::vector<MetricFamily>& families);
    SampleWriter(const SampleWriter&) = delete;
    SampleWriter& operator=(const SampleWriter&) = delete;

    // One sample of family `family`, with the labels in the order given.
    void sample(std::size_t family, std::initializer_list<Label> labels, std::string_view value);
    // One series of a histogram family: `suffix` is "_bucket", "_sum" or "_count".
    void sample(std::size_t family, const char* suffix, std::initializer_list<Label> labels,
                std::string_view value);
    // The HELP and TYPE lines of every family not written yet (those without samples).
    void finish();

  private:
    // Writes the HELP and TYPE lines of the families up to `family`; std::logic_error when a
    // family before the current one is asked for.
    void reach(std::size_t family);

    std::string& out_;
    const std::vector<MetricFamily>& families_;
    std::size_t next_ = 0;  // families [0, next_) have their HELP and TYPE lines out
};

class Collector {
  public:
    virtual ~Collector() = default;
    // Its families, in the order they are written.
    virtual const std::vector<MetricFamily>& families() const = 0;
    // Writes the samples of its families for one scrape; `data` is what the scrape read of the
    // board (collectors of other sources read their own).
    virtual void collect(const Exposition& data, SampleWriter& out) const = 0;
};

using Collectors = std::vector<std::unique_ptr<const Collector>>;

// The collectors, one per file.
// Per core: up, utilisation, clock, samples, errors, last sample time, info.
std::unique_ptr<const Collector> cores_collector();
// The NSP thermal zones' temperatures.
std::unique_ptr<const Collector> thermal_collector();
// Each core's remote processor, and the NSP zones' trip points.
std::unique_ptr<const Collector> dsp_health_collector();
// The exporter's version and source revision.
std::unique_ptr<const Collector> build_collector();
// The exporter's own process, from /proc/self.
std::unique_ptr<const Collector> process_collector();
// The exporter's own HTTP answers, from `stats` (which must outlive the collector).
std::unique_ptr<const Collector> scrapes_collector(const ScrapeStats& stats);

// The list the renderer walks, in its fixed order: cores, thermal, DSP health, build; then, with
// `own` given, the exporter's own process and its HTTP answers counted in `own`.
Collectors exposition_collectors(const ScrapeStats* own = nullptr);

// The exposition of `collectors`, in their order.
std::string render_exposition(const Collectors& collectors, const Exposition& data);

}  // namespace vorlix::kestrel::exporter
