// The run as a Trace Event Format timeline.
#include "cpu/stat/trace_json.h"

#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>

namespace vorlix::kestrel::stat {

namespace {

using json = nlohmann::ordered_json;

// Microseconds, to the nanosecond.
double micros(double seconds) {
    return std::round(seconds * 1e9) / 1e3;
}

double rounded(double value) {
    return std::round(value * 1000.0) / 1000.0;
}

std::uint64_t core_pid(std::uint32_t index) {
    return kTracePidBase + 1 + index;
}

json metadata(const char* name, std::uint64_t pid, const json& args) {
    return {{"ph", "M"}, {"name", name}, {"pid", pid}, {"tid", pid}, {"ts", 0}, {"args", args}};
}

// What the run's slice is called: the command, the process, or what was summarised.
std::string run_name(const RunInfo& run) {
    if (!run.command.empty()) {
        std::string name;
        for (const std::string& word : run.command) {
            name += (name.empty() ? "" : " ") + word;
        }
        return name;
    }
    if (!run.replay.empty()) {
        return "recording " + run.replay;
    }
    return run.has_pid ? "process " + std::to_string(run.pid) : "measurement";
}

}  // namespace

bool TraceWriter::open(const std::string& path, std::string* why) {
    if (!file_.open(path, why)) {
        return false;
    }
    write("{\"displayTimeUnit\": \"ms\", \"traceEvents\": [\n");
    return true;
}

void TraceWriter::write(const std::string& text) {
    file_.write(text);
}

void TraceWriter::counter(std::uint64_t pid, const char* name, const char* unit, double value,
                          double at) {
    const json line = {{"ph", "C"},  {"name", name},     {"pid", pid},
                       {"tid", pid}, {"ts", micros(at)}, {"args", {{unit, rounded(value)}}}};
    write((first_ ? "" : ",\n") + line.dump());
    first_ = false;
}

void TraceWriter::event(const CoreEvent& event, double at) {
    const std::uint64_t pid = core_pid(event.index);
    bool& down = down_[pid];
    if (event.session == SessionState::kDown) {
        if (!down) {
            for (const char* engine : {"QDSP6", "HVX", "HMX"}) {
                counter(pid, engine, "%", 0.0, at);
            }
        }
        down = true;
        return;
    }
    down = false;
    if (!event.has_figures) {
        return;
    }
    const double start = at - window_seconds(event);
    counter(pid, "QDSP6", "%", event.qdsp6, start);
    if (!event.legacy) {
        counter(pid, "HVX", "%", event.hvx, start);
        counter(pid, "HMX", "%", event.hmx, start);
    }
    counter(pid, "clock", "MHz", event.clock_hz / 1e6, start);
    if (event.temperature.present) {
        counter(pid, "temperature", "C", event.temperature.celsius, start);
    }
}

bool TraceWriter::close(const RunInfo& run, const Summary& summary, std::string* why) {
    if (!file_.is_open()) {
        return true;
    }
    json tail = json::array();
    json run_args = {{"duration_s", rounded(run.duration())}};
    if (run.has_status && !run.command.empty()) {
        run_args["exit_status"] = run.exit_status();
    }
    if (run.has_pid) {
        run_args["pid"] = run.pid;
    }
    tail.push_back({{"ph", "X"},
                    {"cat", "run"},
                    {"name", run_name(run)},
                    {"pid", kTracePidBase},
                    {"tid", kTracePidBase},
                    {"ts", micros(run.start)},
                    {"dur", micros(run.duration())},
                    {"args", run_args}});
    tail.push_back(metadata("process_name", kTracePidBase, {{"name", "kestrel-stat"}}));
    tail.push_back(metadata("process_sort_index", kTracePidBase, {{"sort_index", 0}}));
    tail.push_back(metadata("thread_name", kTracePidBase, {{"name", "run"}}));
    for (const CoreSummary& core : summary.cores()) {
        const std::uint64_t pid = core_pid(core.index);
        for (const Outage& outage : core.outages) {
            tail.push_back({{"ph", "X"},
                            {"cat", "outage"},
                            {"name", outage.what},
                            {"pid", pid},
                            {"tid", pid},
                            {"ts", micros(outage.start)},
                            {"dur", micros(outage.end - outage.start)},
                            {"args", {{"failures", outage.failures}}}});
        }
        tail.push_back(metadata("process_name", pid, {{"name", core.name()}}));
        tail.push_back(metadata("process_sort_index", pid, {{"sort_index", core.index + 1}}));
        tail.push_back(metadata("thread_name", pid, {{"name", "outages"}}));
    }
    for (const json& line : tail) {
        write((first_ ? "" : ",\n") + line.dump());
        first_ = false;
    }
    write("\n]}\n");
    const int error = file_.close();
    if (error != 0) {
        *why = "cannot write the timeline " + file_.path() + ": " + std::strerror(error);
        return false;
    }
    return true;
}

}  // namespace vorlix::kestrel::stat
