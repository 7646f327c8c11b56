// The Prometheus text exposition of the exporter.
#include "cpu/exporter/exposition.h"

#include <cmath>
#include <string_view>

#include <fmt/format.h>

namespace vorlix::kestrel::exporter {

namespace {

// Length of the valid UTF-8 sequence that starts at text[i], 0 when it is not valid (overlong
// forms, surrogates and code points above U+10FFFF are not).
std::size_t utf8_sequence(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : 0x80;
        high = lead == 0xed ? 0x9f : 0xbf;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        const unsigned char c = byte(i + k);
        const unsigned char min = k == 1 ? low : 0x80;
        const unsigned char max = k == 1 ? high : 0xbf;
        if (c < min || c > max) {
            return 0;
        }
    }
    return length;
}

// One metric family: its HELP and TYPE lines, then the samples added to it.
class Family {
  public:
    Family(std::string& out, const char* name, const char* type, const char* help)
        : out_(out), name_(name) {
        out_ += fmt::format("# HELP {} {}\n# TYPE {} {}\n", name, help, name, type);
    }

    // One sample; `labels` holds name/value pairs, values not yet escaped.
    void sample(std::initializer_list<std::pair<const char*, std::string_view>> labels,
                const std::string& value) {
        out_ += name_;
        if (labels.size() != 0) {
            out_ += '{';
            bool first = true;
            for (const auto& [label, text] : labels) {
                if (!first) {
                    out_ += ',';
                }
                first = false;
                out_ += label;
                out_ += "=\"";
                out_ += escape_label_value(std::string(text));
                out_ += '"';
            }
            out_ += '}';
        }
        out_ += ' ';
        out_ += value;
        out_ += '\n';
    }

  private:
    std::string& out_;
    const char* name_;
};

bool shows_figures(const CoreSnapshot& core) {
    return core.up && core.has_sample;
}

}  // namespace

std::string escape_label_value(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size();) {
        const std::size_t length = utf8_sequence(value, i);
        if (length == 0) {
            out += "\xef\xbf\xbd";
            ++i;
            continue;
        }
        if (length == 1) {
            const char c = value[i];
            if (c == '\\') {
                out += "\\\\";
            } else if (c == '"') {
                out += "\\\"";
            } else if (c == '\n') {
                out += "\\n";
            } else {
                out += c;
            }
        } else {
            out.append(value, i, length);
        }
        i += length;
    }
    return out;
}

namespace {

template <typename T>
std::string format_number(T value) {
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value > 0 ? "+Inf" : "-Inf";
    }
    return fmt::format("{}", value);
}

}  // namespace

std::string format_value(double value) {
    return format_number(value);
}

std::string format_value(float value) {
    return format_number(value);
}

std::string render_exposition(const Exposition& data) {
    std::string out;
    {
        Family f(out, "kestrel_dsp_up", "gauge",
                 "1 while the core's session is open and sampling, 0 after a failure.");
        for (const auto& core : data.cores) {
            f.sample({{"domain", core.domain}}, core.up ? "1" : "0");
        }
    }
    {
        Family f(out, "kestrel_dsp_utilization_ratio", "gauge",
                 "Busy share of the core's engine over the last complete sampling window.");
        for (const auto& core : data.cores) {
            if (!shows_figures(core)) {
                continue;
            }
            f.sample({{"domain", core.domain}, {"engine", "qdsp6"}},
                     format_value(core.figures.qdsp6));
            if (core.legacy) {
                continue;
            }
            f.sample({{"domain", core.domain}, {"engine", "hvx"}}, format_value(core.figures.hvx));
            f.sample({{"domain", core.domain}, {"engine", "hmx"}}, format_value(core.figures.hmx));
        }
    }
    {
        Family f(out, "kestrel_dsp_clock_hertz", "gauge",
                 "DSP clock at the end of the last complete sampling window.");
        for (const auto& core : data.cores) {
            if (shows_figures(core)) {
                f.sample({{"domain", core.domain}}, format_value(core.figures.clock_hz));
            }
        }
    }
    {
        Family f(out, "kestrel_dsp_samples_total", "counter",
                 "Complete samples taken on the core since the exporter started.");
        for (const auto& core : data.cores) {
            f.sample({{"domain", core.domain}}, std::to_string(core.samples));
        }
    }
    {
        Family f(out, "kestrel_dsp_sample_errors_total", "counter",
                 "Failed session openings and samples on the core since the exporter started.");
        for (const auto& core : data.cores) {
            f.sample({{"domain", core.domain}}, std::to_string(core.errors));
        }
    }
    {
        Family f(out, "kestrel_dsp_last_sample_timestamp_seconds", "gauge",
                 "Time of the core's last complete sample, in seconds since the epoch.");
        for (const auto& core : data.cores) {
            if (core.samples != 0) {
                f.sample({{"domain", core.domain}}, format_value(core.timestamp));
            }
        }
    }
    {
        Family f(out, "kestrel_dsp_info", "gauge",
                 "The core's architecture and the board's SoC; always 1.");
        for (const auto& core : data.cores) {
            f.sample({{"domain", core.domain},
                      {"arch", core.arch},
                      {"soc", data.soc},
                      {"soc_id", data.soc_id}},
                     "1");
        }
    }
    {
        Family f(out, "kestrel_dsp_temperature_celsius", "gauge",
                 "Temperature of the kernel's NSP thermal zones.");
        for (const auto& zone : data.zones) {
            f.sample({{"zone", zone.type}}, format_value(zone.celsius));
        }
    }
    {
        Family f(out, "kestrel_exporter_build_info", "gauge",
                 "The exporter's version and source revision; always 1.");
        f.sample({{"version", data.version}, {"commit", data.commit}}, "1");
    }
    return out;
}

}  // namespace vorlix::kestrel::exporter
