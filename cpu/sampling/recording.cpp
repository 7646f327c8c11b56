// Recording the core events and reading them back.
#include "cpu/sampling/recording.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
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
    if (event.monotonic > 0.0) {
        out["monotonic"] = event.monotonic;
    }
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
        if (event.measured_ms > 0.0) {
            out["measured_ms"] = event.measured_ms;
        }
    }
    out["temperature"] = temperature_json(event.temperature);
    out["remoteproc"] = event.has_remoteproc ? json(event.remoteproc) : json(nullptr);
    return out.dump();
}

namespace {

// A value as an error message shows it: short, and ASCII only.
std::string shown(const json& value) {
    if (value.is_object()) {
        return "an object";
    }
    if (value.is_array()) {
        return "an array";
    }
    std::string text = value.dump(-1, ' ', true, json::error_handler_t::replace);
    constexpr std::size_t kLongest = 40;
    if (text.size() > kLongest) {
        text.resize(kLongest);
        text += "...";
    }
    return text;
}

// Reads the fields of one object of a line; the first that is missing or not what it must be
// is told in `why`, in words ("field \"temperature\" is missing").
class Fields {
  public:
    Fields(const json& object, std::string prefix, std::string* why)
        : object_(object), prefix_(std::move(prefix)), why_(why) {}

    // The field, or null when it is missing (told when `required`).
    const json* find(const char* key, bool required) {
        const auto found = object_.find(key);
        if (found == object_.end()) {
            if (required) {
                fail(key, "is missing");
            }
            return nullptr;
        }
        return &*found;
    }
    bool number(const char* key, double low, double high, const char* what, double* out) {
        const json* value = find(key, true);
        return value != nullptr && number_of(key, *value, low, high, what, out);
    }
    // A number that may be missing or null (`present` false then).
    bool optional_number(const char* key, double low, double high, const char* what, double* out,
                         bool* present) {
        const json* value = find(key, false);
        *present = value != nullptr && !value->is_null();
        return !*present || number_of(key, *value, low, high, what, out);
    }
    bool whole(const char* key, bool required, std::uint32_t* out) {
        const json* value = find(key, required);
        if (value == nullptr) {
            return !required;
        }
        // The parser keeps a whole number from 0 on as unsigned, a negative one as signed.
        if (!value->is_number_unsigned() || value->get<std::uint64_t>() > UINT32_MAX) {
            return fail(key, "is " + shown(*value) + ", not a whole number from 0 to 4294967295");
        }
        *out = static_cast<std::uint32_t>(value->get<std::uint64_t>());
        return true;
    }
    bool text(const char* key, bool required, std::string* out) {
        const json* value = find(key, required);
        if (value == nullptr) {
            return !required;
        }
        if (!value->is_string()) {
            return fail(key, "is " + shown(*value) + ", not a text");
        }
        *out = value->get<std::string>();
        return true;
    }
    bool flag(const char* key, bool* out) {
        const json* value = find(key, false);
        if (value == nullptr) {
            return true;
        }
        if (!value->is_boolean()) {
            return fail(key, "is " + shown(*value) + ", not true or false");
        }
        *out = value->get<bool>();
        return true;
    }
    bool fail(const char* key, const std::string& words) {
        *why_ = "field \"" + prefix_ + key + "\" " + words;
        return false;
    }

  private:
    bool number_of(const char* key, const json& value, double low, double high, const char* what,
                   double* out) {
        if (!value.is_number() || !(value.get<double>() >= low && value.get<double>() <= high)) {
            return fail(key, "is " + shown(value) + ", not " + what);
        }
        *out = value.get<double>();
        return true;
    }

    const json& object_;
    std::string prefix_;
    std::string* why_;
};

constexpr double kMostPercent = 100.0;
constexpr double kHighestClockHz = 1e12;
constexpr double kLongestReopenS = 86400.0;
constexpr double kColdest = -273.15;
constexpr double kHottest = 1000.0;
constexpr double kLongestWindowMs = 86400000.0;
// The monotonic clock: seconds since the machine started, up to some centuries.
constexpr double kLatestMonotonic = 1e10;

bool read_figures(Fields& fields, CoreEvent* out) {
    double qdsp6 = 0.0;
    if (!fields.optional_number("qdsp6", 0.0, kMostPercent, "a percentage from 0 to 100", &qdsp6,
                                &out->has_figures)) {
        return false;
    }
    if (!out->has_figures) {
        return true;
    }
    out->qdsp6 = static_cast<float>(qdsp6);
    double value = 0.0;
    bool present = false;
    if (!fields.optional_number("hvx", 0.0, kMostPercent, "a percentage from 0 to 100", &value,
                                &present)) {
        return false;
    }
    out->hvx = present ? static_cast<float>(value) : 0.0f;
    if (!fields.optional_number("hmx", 0.0, kMostPercent, "a percentage from 0 to 100", &value,
                                &present)) {
        return false;
    }
    out->hmx = present ? static_cast<float>(value) : 0.0f;
    bool measured = false;
    return fields.number("clock_hz", 0.0, kHighestClockHz, "a clock from 0 to 1e12 Hz",
                         &out->clock_hz) &&
           fields.optional_number("measured_ms", 0.0, kLongestWindowMs,
                                  "a window's length from 0 to 86400000 ms", &out->measured_ms,
                                  &measured);
}

bool read_temperature(Fields& fields, std::string* why, Temperature* out) {
    const json* value = fields.find("temperature", true);
    if (value == nullptr) {
        return false;
    }
    if (value->is_null()) {
        return true;
    }
    if (!value->is_object()) {
        return fields.fail("temperature", "is " + shown(*value) + ", not an object or null");
    }
    Fields zone(*value, "temperature.", why);
    const char* const degrees = "a temperature from -273.15 to 1000";
    out->present = true;
    return zone.text("zone", true, &out->zone) &&
           zone.number("celsius", kColdest, kHottest, degrees, &out->celsius) &&
           zone.optional_number("passive", kColdest, kHottest, degrees, &out->passive,
                                &out->has_passive) &&
           zone.optional_number("critical", kColdest, kHottest, degrees, &out->critical,
                                &out->has_critical);
}

bool read_remoteproc(Fields& fields, CoreEvent* out) {
    const json* value = fields.find("remoteproc", true);
    if (value == nullptr) {
        return false;
    }
    out->has_remoteproc = !value->is_null();
    if (out->has_remoteproc && !value->is_string()) {
        return fields.fail("remoteproc", "is " + shown(*value) + ", not a text or null");
    }
    if (out->has_remoteproc) {
        out->remoteproc = value->get<std::string>();
    }
    return true;
}

bool read_session(Fields& fields, CoreEvent* out) {
    std::string session;
    if (!fields.text("session", true, &session)) {
        return false;
    }
    if (!parse_session_state(session, &out->session)) {
        return fields.fail("session", "is " + shown(json(session)) +
                                          ", not \"opening\", \"sampling\" or \"down\"");
    }
    if (out->session != SessionState::kDown) {
        return true;
    }
    bool present = false;
    return fields.text("error", true, &out->error) &&
           fields.optional_number("reopen_in", 0.0, kLongestReopenS,
                                  "a number of seconds from 0 to 86400", &out->reopen_in, &present);
}

}  // namespace

bool event_from_json(const std::string& line, CoreEvent* event, std::string* why) {
    json in;
    try {
        in = json::parse(line);
    } catch (const json::parse_error& e) {
        *why = "not JSON (at byte " + std::to_string(e.byte) + ")";
        return false;
    } catch (const json::exception&) {
        *why = "not JSON (a number out of range)";
        return false;
    }
    if (!in.is_object()) {
        *why = "not a JSON object";
        return false;
    }
    CoreEvent out;
    bool monotonic = false;  // optional: 0 when not known
    Fields fields(in, "", why);
    const bool read =
        fields.number("time", 0.0, kLatestEventTime, "a time within 1970..2100", &out.time) &&
        fields.whole("index", true, &out.index) && fields.text("domain", true, &out.domain) &&
        fields.text("arch", false, &out.arch) && fields.flag("legacy", &out.legacy) &&
        fields.whole("window_ms", false, &out.window_ms) &&
        fields.optional_number("monotonic", 0.0, kLatestMonotonic,
                               "a number of seconds from 0 to 1e10", &out.monotonic, &monotonic) &&
        read_session(fields, &out) && read_figures(fields, &out) &&
        read_temperature(fields, why, &out.temperature) && read_remoteproc(fields, &out);
    if (!read) {
        return false;
    }
    *event = std::move(out);
    return true;
}

bool RecordingWriter::open(const std::string& path, std::string* why) {
    return file_.open(path, why);
}

bool RecordingWriter::write(const CoreEvent& event) {
    return file_.write(event_to_json(event) + "\n", true);
}

bool RecordingWriter::close(std::string* why) {
    const int error = file_.close();
    if (error != 0) {
        *why = "cannot write the recording " + file_.path() + ": " + std::strerror(error);
        return false;
    }
    return true;
}

RecordingReader::~RecordingReader() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

bool RecordingReader::open(const std::string& path, std::string* why) {
    file_ = std::fopen(path.c_str(), "re");
    if (file_ == nullptr) {
        *why = path + ": " + std::strerror(errno);
        return false;
    }
    path_ = path;
    return true;
}

bool RecordingReader::fail(const std::string& words, std::string* why) {
    *why = path_ + ":" + std::to_string(line_) + ": " + words;
    return false;
}

// The next line into `line_text_`, without its line end; false at the end of the file (with
// `why` empty) or for a line longer than kLongestRecordingLine.
bool RecordingReader::read_line(std::string* why) {
    line_text_.clear();
    offset_ = next_offset_;
    int c = 0;
    while ((c = getc_unlocked(file_)) != EOF && c != '\n') {
        if (line_text_.size() == kLongestRecordingLine) {
            ++line_;
            return fail(
                "the line is longer than " + std::to_string(kLongestRecordingLine) + " bytes", why);
        }
        line_text_.push_back(static_cast<char>(c));
    }
    if (c == EOF && std::ferror(file_)) {
        return fail(std::string("cannot read: ") + std::strerror(errno), why);
    }
    next_offset_ = offset_ + line_text_.size() + (c == '\n' ? 1 : 0);
    if (c == EOF && line_text_.empty()) {
        return false;
    }
    ++line_;
    return true;
}

bool RecordingReader::next(CoreEvent* event, std::string* why) {
    why->clear();
    do {
        if (!read_line(why)) {
            return false;
        }
    } while (line_text_.empty());
    std::string reason;
    if (!event_from_json(line_text_, event, &reason)) {
        return fail(reason, why);
    }
    const auto known = std::lower_bound(cores_.begin(), cores_.end(), event->index);
    if (known == cores_.end() || *known != event->index) {
        if (cores_.size() == kMostRecordedCores) {
            return fail("core index " + std::to_string(event->index) + " is core " +
                            std::to_string(kMostRecordedCores + 1) +
                            "; a recording holds at most " + std::to_string(kMostRecordedCores),
                        why);
        }
        cores_.insert(known, event->index);
    }
    return true;
}

bool load_recording(const std::string& path, std::vector<CoreEvent>* events, std::string* why) {
    RecordingReader reader;
    if (!reader.open(path, why)) {
        return false;
    }
    std::vector<CoreEvent> out;
    CoreEvent event;
    while (reader.next(&event, why)) {
        out.push_back(std::move(event));
    }
    if (!why->empty()) {
        return false;
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
