// The call trace: one JSON object per line, appended to the file named by KESTREL_SIM_TRACE.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

namespace kestrel_sim {

class Trace {
  public:
    Trace() = default;
    ~Trace();
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    // Opens (creates, appends to) the file; an empty path turns the trace off.
    void open(const std::string& path);
    bool enabled() const { return fd_ >= 0; }
    // Appends one line. Each line is one write, so lines of several processes do not mix.
    void line(const nlohmann::ordered_json& obj);
    void raw_line(const std::string& text);

  private:
    int fd_ = -1;
    std::mutex mu_;
};

// The line of one application-side platform call: opened with the call's name from the
// platform call table, given its fields as the call goes on, and written with the result.
// Without a trace nothing is built (no allocation per call).
class CallLine {
  public:
    CallLine(Trace& trace, uint32_t call);
    // Whether the line is being built: fields that take work to compute are worth it only then.
    bool on() const { return line_.has_value(); }
    template <typename T>
    void set(const char* key, T&& value) {
        if (line_)
            (*line_)[key] = std::forward<T>(value);
    }
    // Adds the result, writes the line and returns the result.
    int finish(int result);
    // The same for a result that a board fault produced: the line carries "injected".
    int injected(int result);

  private:
    Trace& trace_;
    std::optional<nlohmann::ordered_json> line_;
};

// One value as a trace line writes it: keys in insertion order, ", " and ": " between items.
std::string render_json(const nlohmann::ordered_json& value);

}  // namespace kestrel_sim
