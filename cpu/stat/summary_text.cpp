// The summary as kestrel-stat prints it.
#include <fmt/format.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "cpu/sampling/core_event.h"
#include "cpu/stat/summary.h"

namespace vorlix::kestrel::stat {

namespace {

std::string seconds_text(double seconds) {
    return fmt::format("{:.3f} s", seconds);
}

// A word as the shell would need it: quoted when it holds anything but plain characters.
std::string shell_word(const std::string& word) {
    if (!word.empty() &&
        word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                               "@%_+=:,./-") == std::string::npos) {
        return word;
    }
    std::string quoted = "'";
    for (const char c : word) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

std::string signal_text(int signo) {
    const char* abbrev = sigabbrev_np(signo);
    return abbrev != nullptr ? std::string("SIG") + abbrev : "signal " + std::to_string(signo);
}

// The first line: what was measured and how it ended.
std::string run_line(const RunInfo& run) {
    const std::string after = " after " + seconds_text(run.duration());
    if (!run.replay.empty()) {
        return "kestrel-stat: recording " + run.replay + ", " + seconds_text(run.duration()) +
               " from its first window to its last";
    }
    if (!run.command.empty()) {
        std::string command;
        for (const std::string& word : run.command) {
            command += (command.empty() ? "" : " ") + shell_word(word);
        }
        if (!run.has_status) {
            return "kestrel-stat: " + command + after;
        }
        const std::string how = run.exited
                                    ? "exited with " + std::to_string(run.code)
                                    : "was ended by " + signal_text(run.signal) + " (status " +
                                          std::to_string(run.exit_status()) + ")";
        return "kestrel-stat: " + command + " " + how + after;
    }
    const std::string stopped =
        run.stop_signal != 0 ? ", stopped by " + signal_text(run.stop_signal) : "";
    if (run.has_pid) {
        const std::string how = run.has_status ? " ended" : " still running";
        return "kestrel-stat: process " + std::to_string(run.pid) + how + stopped + after;
    }
    return "kestrel-stat: measured for " + seconds_text(run.duration()) + stopped;
}

std::string percent(double value) {
    return fmt::format("{:6.1f}%", value);
}

// The rows of a core, their first column `width` wide (the core's name in the first row).
class CoreRows {
  public:
    explicit CoreRows(std::size_t width) : width_(width) {}

    std::string rows(const CoreSummary& core, double start) const {
        std::string text;
        const std::string name = core.name();
        if (core.windows == 0) {
            text = row(name, "measured nothing");
        } else {
            text = row(name, "engine       mean  median     p95    peak    >90%");
            text += engine("QDSP6", core.qdsp6);
            if (!core.legacy) {
                text += engine("HVX", core.hvx);
                text += engine("HMX", core.hmx);
            }
            text += row("", fmt::format("clock     {:.0f} MHz (min {:.0f}, max {:.0f})",
                                        core.clock_mean_hz() / 1e6, core.clock_min_hz / 1e6,
                                        core.clock_max_hz / 1e6));
        }
        if (core.has_temperature) {
            std::string temp =
                fmt::format("temp      {:.1f} C peak ({})", core.peak_celsius, core.zone);
            if (core.has_passive) {
                temp += fmt::format(", {} within {:.0f} C of passive {:.1f} C",
                                    seconds_text(core.hot_seconds), Temperature::kHotMargin,
                                    core.passive_celsius);
            }
            text += row("", temp);
        }
        for (const Outage& outage : core.outages) {
            std::string line = "outage    at " + seconds_text(outage.start - start) + " for " +
                               seconds_text(outage.end - outage.start) + ": " + outage.what;
            if (outage.failures > 1) {
                line += " (" + std::to_string(outage.failures) + " failures)";
            }
            text += row("", line);
        }
        if (core.outages_untold > 0) {
            text += row("", "and " + std::to_string(core.outages_untold) + " more outages");
        }
        if (core.windows == 0) {
            return text;
        }
        return text + row("", std::to_string(core.windows) +
                                  (core.windows == 1 ? " window, " : " windows, ") +
                                  seconds_text(core.measured_seconds()) + " measured");
    }

  private:
    std::string row(std::string first, const std::string& rest) const {
        first.resize(width_, ' ');
        return first + rest + "\n";
    }

    std::string engine(const char* name, const Distribution& d) const {
        std::string label = name;
        label.resize(10, ' ');
        return row("", label + percent(d.mean()) + "  " + percent(d.percentile(0.5)) + "  " +
                           percent(d.percentile(0.95)) + "  " + percent(d.peak()) + "  " +
                           percent(100.0 * d.share_above(90.0)));
    }

    std::size_t width_;
};

}  // namespace

std::string summary_text(const RunInfo& run, const Summary& summary) {
    std::string text = run_line(run) + "\n";
    std::string about = run.board;
    about += (about.empty() ? "" : ", ") + std::to_string(summary.cores().size()) +
             (summary.cores().size() == 1 ? " core" : " cores");
    if (run.window_ms != 0) {
        about += ", windows of " + std::to_string(run.window_ms) + " ms";
    }
    text += about + "\n\n";
    std::size_t width = 12;
    for (const CoreSummary& core : summary.cores()) {
        width = std::max(width, core.name().size() + 2);
    }
    const CoreRows rows(width);
    for (const CoreSummary& core : summary.cores()) {
        text += rows.rows(core, run.start);
    }
    return text;
}

}  // namespace vorlix::kestrel::stat
