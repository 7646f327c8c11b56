// Recording the core events and reading them back.
#include "cpu/sampling/recording.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <utility>

namespace vorlix::kestrel {

namespace {

using json = nlohmann::json;

json temperature_json(const Temperature& temperature) {
    if (!temperature.present) {
        return nullptr;
    }
    json out = {{"zone", temperature.zone}, {"celsius", temperature.celsius}};
    out["passive"] = temperature.has_passive ? json(temperature.passive) : json(nullptr);
    out["critical"] = temperature.has_critical ? json(temperature.critical) : json(nullptr);
    return out;
}

// A number field that may be null (false then); throws on anything else.
bool optional_number(const json& object, const char* key, double* value) {
    const auto found = object.find(key);
    if (found == object.end() || found->is_null()) {
        return false;
    }
    *value = found->get<double>();
    return true;
}

// A utilisation as recorded: to a thousandth of a point, without the float's noise.
double figure(float percent) {
    return std::round(static_cast<double>(percent) * 1000.0) / 1000.0;
}

}  // namespace

std::string event_to_json(const CoreEvent& event) {
    json out;
    out["time"] = event.time;
    out["index"] = event.index;
    out["domain"] = event.domain;
    out["arch"] = event.arch;
    out["legacy"] = event.legacy;
    out["window_ms"] = event.window_ms;
    out["session"] = session_state_name(event.session);
    if (event.session == SessionState::kDown) {
        out["error"] = event.error;
        out["reopen_in"] = event.reopen_in;
    }
    if (event.has_figures) {
        out["qdsp6"] = figure(event.qdsp6);
        if (!event.legacy) {
            out["hvx"] = figure(event.hvx);
            out["hmx"] = figure(event.hmx);
        }
        out["clock_hz"] = event.clock_hz;
    }
    out["temperature"] = temperature_json(event.temperature);
    out["remoteproc"] = event.has_remoteproc ? json(event.remoteproc) : json(nullptr);
    return out.dump();
}

bool event_from_json(const std::string& line, CoreEvent* event, std::string* why) {
    const json in = json::parse(line, nullptr, false);
    if (in.is_discarded() || !in.is_object()) {
        *why = "not a JSON object";
        return false;
    }
    try {
        CoreEvent out;
        out.time = in.at("time").get<double>();
        // Times far off would be cast beyond the range of the replay's clock and waits.
        if (!(out.time >= 0.0 && out.time <= kLatestEventTime)) {
            *why = "time " + in.at("time").dump() + " is not within 1970..2100";
            return false;
        }
        out.index = in.at("index").get<std::uint32_t>();
        out.domain = in.at("domain").get<std::string>();
        out.arch = in.value("arch", std::string());
        out.legacy = in.value("legacy", false);
        out.window_ms = in.value("window_ms", 0u);
        if (!parse_session_state(in.at("session").get<std::string>(), &out.session)) {
            *why = "unknown session state " + in.at("session").dump();
            return false;
        }
        if (out.session == SessionState::kDown) {
            out.error = in.at("error").get<std::string>();
            out.reopen_in = in.value("reopen_in", 0.0);
        }
        double qdsp6 = 0.0;
        out.has_figures = optional_number(in, "qdsp6", &qdsp6);
        if (out.has_figures) {
            out.qdsp6 = static_cast<float>(qdsp6);
            double value = 0.0;
            out.hvx = optional_number(in, "hvx", &value) ? static_cast<float>(value) : 0.0f;
            out.hmx = optional_number(in, "hmx", &value) ? static_cast<float>(value) : 0.0f;
            out.clock_hz = in.at("clock_hz").get<double>();
        }
        const json& temperature = in.at("temperature");
        if (!temperature.is_null()) {
            out.temperature.present = true;
            out.temperature.zone = temperature.at("zone").get<std::string>();
            out.temperature.celsius = temperature.at("celsius").get<double>();
            out.temperature.has_passive =
                optional_number(temperature, "passive", &out.temperature.passive);
            out.temperature.has_critical =
                optional_number(temperature, "critical", &out.temperature.critical);
        }
        const json& remoteproc = in.at("remoteproc");
        if (!remoteproc.is_null()) {
            out.has_remoteproc = true;
            out.remoteproc = remoteproc.get<std::string>();
        }
        *event = std::move(out);
        return true;
    } catch (const json::exception& e) {
        *why = e.what();
        return false;
    }
}

RecordingWriter::~RecordingWriter() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

bool RecordingWriter::open(const std::string& path, std::string* why) {
    file_ = std::fopen(path.c_str(), "we");
    if (file_ == nullptr) {
        *why = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    path_ = path;
    return true;
}

bool RecordingWriter::write(const CoreEvent& event) {
    if (file_ == nullptr || error_ != 0) {
        return false;
    }
    const std::string line = event_to_json(event) + "\n";
    errno = 0;
    if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() || std::fflush(file_) != 0) {
        error_ = errno != 0 ? errno : EIO;
        return false;
    }
    return true;
}

bool RecordingWriter::close(std::string* why) {
    if (file_ == nullptr) {
        return true;
    }
    errno = 0;
    if (std::fclose(file_) != 0 && error_ == 0) {
        error_ = errno != 0 ? errno : EIO;
    }
    file_ = nullptr;
    if (error_ != 0) {
        *why = "cannot write the recording " + path_ + ": " + std::strerror(error_);
        return false;
    }
    return true;
}

bool load_recording(const std::string& path, std::vector<CoreEvent>* events, std::string* why) {
    std::ifstream in(path);
    if (!in) {
        *why = path + ": " + std::strerror(errno);
        return false;
    }
    std::vector<CoreEvent> out;
    std::string line;
    for (std::size_t number = 1; std::getline(in, line); ++number) {
        if (line.empty()) {
            continue;
        }
        CoreEvent event;
        std::string reason;
        if (!event_from_json(line, &event, &reason)) {
            *why = path + ":" + std::to_string(number) + ": " + reason;
            return false;
        }
        out.push_back(std::move(event));
    }
    if (out.empty()) {
        *why = path + ": no events recorded";
        return false;
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const CoreEvent& a, const CoreEvent& b) { return a.time < b.time; });
    *events = std::move(out);
    return true;
}

}  // namespace vorlix::kestrel
