// The summary as one JSON document; its schema (doc/kestrel-stat.schema.json) is in the manual
// page.
#include <string.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <string>

#include "cpu/stat/summary.h"

namespace vorlix::kestrel::stat {

namespace {

using json = nlohmann::ordered_json;

// The document's format; a reader checks it before anything else.
constexpr const char* kFormat = "kestrel-stat/1";

// To a thousandth, without the binary noise.
double rounded(double value) {
    return std::round(value * 1000.0) / 1000.0;
}

json signal_json(int signo) {
    if (signo == 0) {
        return nullptr;
    }
    const char* abbrev = sigabbrev_np(signo);
    return abbrev != nullptr ? json(std::string("SIG") + abbrev) : json(signo);
}

json engine_json(const Distribution& d) {
    if (!(d.seconds() > 0.0)) {
        return nullptr;
    }
    return {{"mean", rounded(d.mean())},
            {"median", rounded(d.percentile(0.5))},
            {"p95", rounded(d.percentile(0.95))},
            {"peak", rounded(d.peak())},
            {"above_90_share", rounded(d.share_above(90.0))}};
}

json core_json(const CoreSummary& core, double start) {
    json out = {{"index", core.index},
                {"domain", core.domain},
                {"arch", core.arch},
                {"legacy", core.legacy},
                {"windows", core.windows},
                {"measured_s", rounded(core.measured_seconds())},
                {"qdsp6", engine_json(core.qdsp6)}};
    out["hvx"] = core.legacy ? json(nullptr) : engine_json(core.hvx);
    out["hmx"] = core.legacy ? json(nullptr) : engine_json(core.hmx);
    out["clock_mhz"] = core.windows == 0 ? json(nullptr)
                                         : json{{"min", rounded(core.clock_min_hz / 1e6)},
                                                {"mean", rounded(core.clock_mean_hz() / 1e6)},
                                                {"max", rounded(core.clock_max_hz / 1e6)}};
    out["temperature"] = nullptr;
    if (core.has_temperature) {
        out["temperature"] = {
            {"zone", core.zone},
            {"peak_celsius", rounded(core.peak_celsius)},
            {"passive_celsius", core.has_passive ? json(rounded(core.passive_celsius)) : json()},
            {"hot_s", rounded(core.hot_seconds)}};
    }
    json outages = json::array();
    for (const Outage& outage : core.outages) {
        outages.push_back({{"start_s", rounded(outage.start - start)},
                           {"duration_s", rounded(outage.end - outage.start)},
                           {"what", outage.what},
                           {"failures", outage.failures}});
    }
    out["outages"] = std::move(outages);
    out["outages_untold"] = core.outages_untold;
    return out;
}

}  // namespace

std::string summary_json(const RunInfo& run, const Summary& summary) {
    json out;
    out["format"] = kFormat;
    out["command"] = run.command.empty() ? json(nullptr) : json(run.command);
    out["pid"] = run.has_pid ? json(run.pid) : json(nullptr);
    out["replay"] = run.replay.empty() ? json(nullptr) : json(run.replay);
    out["board"] = run.board.empty() ? json(nullptr) : json(run.board);
    out["clock"] = run.monotonic ? "monotonic" : "wall";
    out["start"] = rounded(run.start);
    out["end"] = rounded(run.end);
    out["start_time"] = rounded(run.start_wall);
    out["duration_s"] = rounded(run.duration());
    out["window_ms"] = run.window_ms;
    const bool command_status = run.has_status && !run.command.empty();
    out["exit_status"] = command_status ? json(run.exit_status()) : json(nullptr);
    out["signal"] = command_status && !run.exited ? signal_json(run.signal) : json(nullptr);
    out["stopped_by"] = signal_json(run.stop_signal);
    json cores = json::array();
    for (const CoreSummary& core : summary.cores()) {
        cores.push_back(core_json(core, run.start));
    }
    out["cores"] = std::move(cores);
    return out.dump(2) + "\n";
}

}  // namespace vorlix::kestrel::stat
