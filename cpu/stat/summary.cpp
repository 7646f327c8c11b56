// A run's summary from its core events.
#include "cpu/stat/summary.h"

#include <algorithm>
#include <cmath>

namespace vorlix::kestrel::stat {

namespace {

// Hundredths of a point: the bins of a distribution, 0 to 100 %.
constexpr int kBinsPerPoint = 100;
constexpr std::size_t kBins = 100 * kBinsPerPoint + 1;

// A remote processor that is up: its state is no news in an outage.
bool processor_up(const std::string& state) {
    return state == "running" || state == "attached";
}

}  // namespace

void Distribution::add(double percent, double seconds, bool whole) {
    if (!(seconds > 0.0)) {
        return;
    }
    percent = std::isfinite(percent) ? std::clamp(percent, 0.0, 100.0) : 0.0;
    if (bins_.empty()) {
        bins_.assign(kBins, 0.0);
    }
    const long bin = std::lround(percent * kBinsPerPoint);
    bins_[static_cast<std::size_t>(bin)] += seconds;
    seconds_ += seconds;
    weighted_ += percent * seconds;
    // To the distribution's hundredth, as the percentiles: a float's noise is no higher peak.
    const double value = static_cast<double>(bin) / kBinsPerPoint;
    peak_any_ = std::max(peak_any_, value);
    if (whole) {
        whole_seconds_ += seconds;
        peak_ = std::max(peak_, value);
    }
}

double Distribution::mean() const {
    return seconds_ > 0.0 ? weighted_ / seconds_ : 0.0;
}

double Distribution::percentile(double p) const {
    if (!(seconds_ > 0.0)) {
        return 0.0;
    }
    // Sums of many windows round a hair apart from the total; the share is reached within that.
    const double target = p * seconds_ * (1.0 - 1e-9);
    double below = 0.0;
    for (std::size_t bin = 0; bin < bins_.size(); ++bin) {
        below += bins_[bin];
        if (bins_[bin] > 0.0 && below >= target) {
            return static_cast<double>(bin) / kBinsPerPoint;
        }
    }
    return peak_;
}

double Distribution::share_above(double percent) const {
    if (!(seconds_ > 0.0)) {
        return 0.0;
    }
    double above = 0.0;
    for (std::size_t bin = 0; bin < bins_.size(); ++bin) {
        if (static_cast<double>(bin) / kBinsPerPoint > percent) {
            above += bins_[bin];
        }
    }
    return above / seconds_;
}

std::string CoreSummary::name() const {
    return arch.empty() || arch == "unknown" ? domain : domain + " (" + arch + ")";
}

double CoreSummary::clock_mean_hz() const {
    return measured_seconds() > 0.0 ? clock_weighted / measured_seconds() : 0.0;
}

double event_time(const CoreEvent& event, bool monotonic) {
    return monotonic && event.monotonic > 0.0 ? event.monotonic : event.time;
}

double window_seconds(const CoreEvent& event) {
    const double ms = event.measured_ms > 0.0 ? event.measured_ms : event.window_ms;
    return ms / 1000.0;
}

void Summary::add_core(std::uint32_t index, const std::string& domain, const std::string& arch,
                       bool legacy) {
    CoreSummary core;
    core.index = index;
    core.domain = domain;
    core.arch = arch;
    core.legacy = legacy;
    cores_.push_back(std::move(core));
}

CoreSummary& Summary::core(const CoreEvent& event) {
    for (CoreSummary& core : cores_) {
        if (core.index == event.index && core.domain == event.domain) {
            return core;
        }
    }
    add_core(event.index, event.domain, event.arch, event.legacy);
    // A recording lists its cores as they come; they are shown in index order.
    std::stable_sort(cores_.begin(), cores_.end(),
                     [](const CoreSummary& a, const CoreSummary& b) { return a.index < b.index; });
    return core(event);
}

void Summary::take(const CoreEvent& event, double at) {
    CoreSummary& core = this->core(event);
    if (event.temperature.present) {
        const Temperature& t = event.temperature;
        core.peak_celsius =
            core.has_temperature ? std::max(core.peak_celsius, t.celsius) : t.celsius;
        core.has_temperature = true;
        core.zone = t.zone;
        core.has_passive = t.has_passive;
        core.passive_celsius = t.passive;
    }
    if (event.session == SessionState::kDown) {
        take_failure(core, event, at);
        return;
    }
    if (core.down) {
        // The outage ends where the session works again: at its opening, or where the first
        // window after it began.
        const double back = event.has_figures ? at - window_seconds(event) : at;
        if (!core.outages.empty() && core.outages.back().end < 0.0) {
            core.outages.back().end = std::max(back, core.outages.back().start);
        }
        core.down = false;
    }
    if (event.has_figures) {
        take_window(core, event);
    }
}

void Summary::take_window(CoreSummary& core, const CoreEvent& event) {
    const double seconds = window_seconds(event);
    if (!(seconds > 0.0)) {
        return;
    }
    ++core.windows;
    const bool whole = event.window_ms == 0 || seconds * 2000.0 >= event.window_ms;
    core.qdsp6.add(event.qdsp6, seconds, whole);
    if (!core.legacy) {
        core.hvx.add(event.hvx, seconds, whole);
        core.hmx.add(event.hmx, seconds, whole);
    }
    if (event.clock_hz > 0.0) {
        const bool first = core.clock_weighted == 0.0;
        core.clock_min_hz = first ? event.clock_hz : std::min(core.clock_min_hz, event.clock_hz);
        core.clock_max_hz = std::max(core.clock_max_hz, event.clock_hz);
    }
    core.clock_weighted += event.clock_hz * seconds;
    if (event.temperature.hot()) {
        core.hot_seconds += seconds;
    }
}

void Summary::take_failure(CoreSummary& core, const CoreEvent& event, double at) {
    if (core.down) {
        if (!core.outages.empty() && core.outages.back().end < 0.0) {
            ++core.outages.back().failures;
        }
        return;
    }
    core.down = true;
    if (core.outages.size() == kMaxOutages) {
        ++core.outages_untold;
        return;
    }
    Outage outage;
    outage.start = at;
    outage.end = -1.0;  // open
    outage.what = event.error;
    if (event.has_remoteproc && !processor_up(event.remoteproc)) {
        outage.what += ", remoteproc " + event.remoteproc;
    }
    outage.failures = 1;
    core.outages.push_back(std::move(outage));
}

void Summary::finish(double end) {
    for (CoreSummary& core : cores_) {
        for (Outage& outage : core.outages) {
            if (outage.end < 0.0) {
                outage.end = std::max(end, outage.start);
            }
        }
    }
}

}  // namespace vorlix::kestrel::stat
