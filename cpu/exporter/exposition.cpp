// The Prometheus text exposition of the exporter: label and value spelling, the writer the
// collectors write their samples with, and the list of collectors the renderer walks.
#include "cpu/exporter/exposition.h"

#include <cmath>
#include <stdexcept>
#include <string_view>

#include <fmt/format.h>

#include "cpu/exporter/collector.h"

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

SampleWriter::SampleWriter(std::string& out, const std::vector<MetricFamily>& families)
    : out_(out), families_(families) {}

void SampleWriter::reach(std::size_t family) {
    if (family >= families_.size() || family + 1 < next_) {
        throw std::logic_error("a collector wrote a family out of its order");
    }
    for (; next_ <= family; ++next_) {
        const MetricFamily& f = families_[next_];
        out_ += "# HELP ";
        out_ += f.name;
        out_ += ' ';
        out_ += f.help;
        out_ += "\n# TYPE ";
        out_ += f.name;
        out_ += ' ';
        out_ += f.type;
        out_ += '\n';
    }
}

void SampleWriter::sample(std::size_t family, std::initializer_list<Label> labels,
                          std::string_view value) {
    sample(family, "", labels, value);
}

void SampleWriter::sample(std::size_t family, const char* suffix,
                          std::initializer_list<Label> labels, std::string_view value) {
    reach(family);
    out_ += families_[family].name;
    out_ += suffix;
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

void SampleWriter::finish() {
    if (!families_.empty()) {
        reach(families_.size() - 1);
    }
}

Collectors exposition_collectors(const ScrapeStats* own) {
    Collectors list;
    list.push_back(cores_collector());
    list.push_back(thermal_collector());
    list.push_back(dsp_health_collector());
    list.push_back(build_collector());
    if (own != nullptr) {
        list.push_back(process_collector());
        list.push_back(scrapes_collector(*own));
    }
    return list;
}

std::string render_exposition(const Collectors& collectors, const Exposition& data) {
    std::string out;
    for (const auto& collector : collectors) {
        SampleWriter writer(out, collector->families());
        collector->collect(data, writer);
        writer.finish();
    }
    return out;
}

std::string render_exposition(const Exposition& data) {
    return render_exposition(exposition_collectors(), data);
}

}  // namespace vorlix::kestrel::exporter
