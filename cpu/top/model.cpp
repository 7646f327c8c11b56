// The figures kestrel-top shows, on one time axis.
#include "cpu/top/model.h"

#include <algorithm>
#include <cmath>

namespace vorlix::kestrel::top {

namespace {

// A window's length in seconds; events of old recordings may not tell it.
double window_seconds(std::uint32_t window_ms, const Model& model) {
    if (window_ms != 0) {
        return window_ms / 1000.0;
    }
    return model.window_ms != 0 ? model.window_ms / 1000.0 : 1.0;
}

std::size_t capacity(const Model& model) {
    return model.cores.empty() ? History::kDefaultCapacity : model.cores.front().qdsp6.capacity();
}

// Adds a column to every core, blank, ending at `time`.
void push_column(Model& model, double time, double window_s) {
    for (auto& core : model.cores) {
        core.qdsp6.push(History::kBlank);
        core.hvx.push(History::kBlank);
        core.hmx.push(History::kBlank);
    }
    ++model.columns;
    model.newest_time = time;
    model.newest_window_s = window_s;
}

// Blank columns for the windows that ended by `time` without a figure of any core, a window
// and a half ago at least (a set of windows late by less is not taken for missing: a window may
// take longer than its length when the DSP is slow to answer); at most a whole history of them.
void pass_time(Model& model, double time) {
    if (model.columns == 0) {
        return;
    }
    const double window = model.newest_window_s;
    const double passed = std::floor((time - model.newest_time) / window - 1.5);
    const std::size_t count =
        passed < 1.0 ? 0 : static_cast<std::size_t>(std::min(passed, double(capacity(model))));
    for (std::size_t i = 0; i < count; ++i) {
        push_column(model, model.newest_time + window, window);
    }
}

// The column of a window of `core` that ended at `time`: the newest when the core has none there
// yet and the window ended within a window of it (the set it starts, whatever the cores' windows'
// phases: a core's next window ends a window later), else a new one; after a blank one per window
// that passed in between when that is more than a window and a half (windows late by less are
// the next set, slow).
void column_for(CoreView& core, Model& model, double time, double window_s) {
    if (model.columns != 0) {
        const double since = time - model.newest_time;
        if (since < window_s && core.filled != model.columns) {
            return;
        }
        const double windows = since < 2.5 * window_s ? 1.0 : std::round(since / window_s);
        const auto blanks =
            static_cast<std::size_t>(std::min(windows - 1.0, double(capacity(model))));
        for (std::size_t i = 0; i < blanks; ++i) {
            push_column(model, model.newest_time + window_s, window_s);
        }
    }
    push_column(model, time, window_s);
}

void keep_figures(const CoreEvent& event, CoreView& core, Model& model, Keep keep) {
    if (keep == Keep::kStateOnly) {
        return;
    }
    column_for(core, model, event.time, window_seconds(event.window_ms, model));
    core.filled = model.columns;
    const bool blank = keep == Keep::kBlank;
    core.qdsp6.set_newest(blank ? History::kBlank : event.qdsp6);
    core.hvx.set_newest(blank ? History::kBlank : event.hvx);
    core.hmx.set_newest(blank ? History::kBlank : event.hmx);
}

}  // namespace

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
        // A core that comes later keeps as much history as the others, blank so far.
        const History& other = cores.front().qdsp6;
        for (History* history : {&view.qdsp6, &view.hvx, &view.hmx}) {
            history->reserve(other.capacity());
            for (std::size_t i = 0; i < other.size(); ++i) {
                history->push(History::kBlank);
            }
        }
    }
    return *cores.insert(at, std::move(view));
}

void Model::reserve_history(std::size_t kept) {
    for (auto& view : cores) {
        view.qdsp6.reserve(kept);
        view.hvx.reserve(kept);
        view.hmx.reserve(kept);
    }
}

void apply_event(const CoreEvent& event, Model& model, Keep keep) {
    CoreView& view = model.core(event.index, event.domain, event.arch, event.legacy);
    view.session = event.session;
    view.temperature = event.temperature;
    view.has_remoteproc = event.has_remoteproc;
    view.remoteproc = event.remoteproc;
    view.last_time = event.time;
    if (event.window_ms != 0) {
        model.window_ms = event.window_ms;
    }
    if (!event.has_figures) {
        // No current figures: down, or (re)opening; the time passes on the axis all the same.
        view.has_figures = false;
        if (event.session == SessionState::kDown) {
            view.error = event.error;
            view.reopen_at = event.time + event.reopen_in;
        } else {
            view.error.clear();
        }
        if (keep != Keep::kStateOnly) {
            pass_time(model, event.time);
        }
        return;
    }
    view.error.clear();
    view.has_figures = true;
    view.qdsp6_now = event.qdsp6;
    view.hvx_now = event.hvx;
    view.hmx_now = event.hmx;
    view.clock_hz = event.clock_hz;
    keep_figures(event, view, model, keep);
}

}  // namespace vorlix::kestrel::top
