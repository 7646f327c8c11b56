#include "trace.h"

#include <fcntl.h>
#include <unistd.h>

#include "sim_calls.h"
#include "sim_io.h"

namespace kestrel_sim {

Trace::~Trace() {
    if (fd_ >= 0)
        ::close(fd_);
}

void Trace::open(const std::string& path) {
    if (path.empty() || fd_ >= 0)
        return;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

std::string render_json(const nlohmann::ordered_json& value) {
    if (value.is_object()) {
        std::string out = "{";
        for (auto it = value.begin(); it != value.end(); ++it) {
            if (out.size() > 1)
                out += ", ";
            out += nlohmann::ordered_json(it.key()).dump() + ": " + render_json(it.value());
        }
        return out + "}";
    }
    if (value.is_array()) {
        std::string out = "[";
        for (const auto& item : value) {
            if (out.size() > 1)
                out += ", ";
            out += render_json(item);
        }
        return out + "]";
    }
    return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

void Trace::line(const nlohmann::ordered_json& obj) {
    if (fd_ < 0)
        return;
    raw_line(render_json(obj));
}

void Trace::raw_line(const std::string& text) {
    if (fd_ < 0)
        return;
    std::lock_guard<std::mutex> lock(mu_);
    const std::string buf = text + "\n";
    sim_io_write_all(sim_io_posix_write, fd_, buf.data(), buf.size());
}

CallLine::CallLine(Trace& trace, uint32_t call) : trace_(trace) {
    if (trace_.enabled())
        line_ = nlohmann::ordered_json{{"side", "ap"}, {"call", sim_call(call).name}};
}

int CallLine::finish(int result) {
    if (line_) {
        (*line_)["result"] = result;
        trace_.line(*line_);
    }
    return result;
}

int CallLine::injected(int result) {
    set("injected", true);
    return finish(result);
}

}  // namespace kestrel_sim
