// The Prometheus text exposition (format 0.0.4) of the exporter: what one scrape reads of the
// board (every compute-DSP core, the NSP thermal zones, the remote processors) and the build,
// written by the collectors (collector.h) as metric families with their HELP and TYPE lines.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cpu/sampling/dsp_state.h"

namespace vorlix::kestrel::exporter {

// Utilisations of one complete sample as ratios (0 to 1), and the DSP clock. Single precision,
// as the monitor's figures are.
struct CoreFigures {
    float qdsp6 = 0.0f;
    float hvx = 0.0f;
    float hmx = 0.0f;
    float clock_hz = 0.0f;
};

// What the exporter knows about one core at one instant.
struct CoreSnapshot {
    std::string domain;   // the domain name of its session
    std::string arch;     // "V75"; "unknown" when the platform did not tell
    bool legacy = false;  // sampled without the PMU group: only the QDSP6 utilisation is known
    bool up = false;      // its session is open and sampling
    std::uint64_t samples = 0;
    std::uint64_t errors = 0;
    bool has_sample = false;  // a complete sample was taken since the session opened
    CoreFigures figures;      // of the last complete sample
    double timestamp = 0.0;   // seconds since the epoch at the end of the last complete sample
};

// What one scrape shows of the board, read when the scrape comes.
struct Exposition {
    std::vector<CoreSnapshot> cores;  // in core index order
    std::vector<ThermalZone> zones;   // the NSP zones (nsp_thermal_zones)
    std::vector<Remoteproc> remoteprocs;
    std::string soc;      // SoC model name, e.g. "SM8650"
    std::string soc_id;   // decimal SoC id
    std::string machine;  // the kernel's name of the SoC (sys/devices/soc0/machine), or ""
    std::string host;     // the board's host name
    std::string version;
    std::string commit;
};

// The content type of the text exposition.
inline constexpr const char* kExpositionContentType = "text/plain; version=0.0.4; charset=utf-8";

// A label value in the exposition's quoting: backslash, double quote and line feed escaped;
// bytes that are not valid UTF-8 replaced by U+FFFD, so that the text stays valid UTF-8.
std::string escape_label_value(const std::string& value);

// A sample value: shortest text that reads back as the same number; NaN and the infinities as
// Prometheus spells them.
std::string format_value(double value);
std::string format_value(float value);

// The exposition of the board's collectors (exposition_collectors() without the exporter's own),
// as --once and the textfile have it.
std::string render_exposition(const Exposition& data);

}  // namespace vorlix::kestrel::exporter
