// The figures kestrel-top shows.
#include "cpu/top/model.h"

#include <algorithm>

namespace vorlix::kestrel::top {

CoreView& Model::core(std::uint32_t index, const std::string& domain, const std::string& arch,
                      bool legacy) {
    auto at = std::find_if(cores.begin(), cores.end(),
                           [index](const CoreView& view) { return view.index >= index; });
    if (at != cores.end() && at->index == index) {
        return *at;
    }
    CoreView view;
    view.index = index;
    view.domain = domain;
    view.arch = arch;
    view.legacy = legacy;
    if (!cores.empty()) {
        // A core that comes later keeps as much history as the others.
        const std::size_t capacity = cores.front().qdsp6.capacity();
        view.qdsp6.reserve(capacity);
        view.hvx.reserve(capacity);
        view.hmx.reserve(capacity);
    }
    return *cores.insert(at, std::move(view));
}

void Model::reserve_history(std::size_t samples) {
    for (auto& view : cores) {
        view.qdsp6.reserve(samples);
        view.hvx.reserve(samples);
        view.hmx.reserve(samples);
    }
}

void apply_event(const CoreEvent& event, Model& model, bool keep_history) {
    CoreView& view = model.core(event.index, event.domain, event.arch, event.legacy);
    view.session = event.session;
    view.temperature = event.temperature;
    view.has_remoteproc = event.has_remoteproc;
    view.remoteproc = event.remoteproc;
    view.last_time = event.time;
    if (event.window_ms != 0) {
        model.window_ms = event.window_ms;
    }
    if (event.session == SessionState::kDown) {
        view.error = event.error;
        view.reopen_at = event.time + event.reopen_in;
        return;
    }
    view.error.clear();
    if (!event.has_figures) {
        return;
    }
    view.has_figures = true;
    view.qdsp6_now = event.qdsp6;
    view.hvx_now = event.hvx;
    view.hmx_now = event.hmx;
    view.clock_hz = event.clock_hz;
    if (keep_history) {
        view.qdsp6.push(event.qdsp6);
        view.hvx.push(event.hvx);
        view.hmx.push(event.hmx);
    }
}

}  // namespace vorlix::kestrel::top
