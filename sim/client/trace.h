// The call trace: one JSON object per line, appended to the file named by KESTREL_SIM_TRACE.
#pragma once

#include <mutex>
#include <string>

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

// One value as a trace line writes it: keys in insertion order, ", " and ": " between items.
std::string render_json(const nlohmann::ordered_json& value);

}  // namespace kestrel_sim
