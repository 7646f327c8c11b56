// kestrel-stat's command line.
#include "cpu/stat/stat_options.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

#include "cpu/program_options.h"

namespace vorlix::kestrel::stat {

using my_utils::CMDLineElement;
using my_utils::CMDLineParams;
using my_utils::make_option;

StatParams& get_stat_params(CMDLineParams& params) {
    return *static_cast<StatParams*>(params.user_param);
}

void print_stat_usage(int, const char**) {
    std::printf(
        "\nusage: kestrel-stat [options] -- COMMAND [ARGS...]\n"
        "       kestrel-stat [options] --pid PID | --duration S | --replay FILE\n"
        "\nkestrel-stat measures the compute DSP's load while COMMAND runs (or until PID ends, or\n"
        "for S seconds) and prints, per core, the mean, median, 95th percentile and peak of the\n"
        "QDSP6, HVX and HMX utilisation, the clock, the temperature and any outage, on standard\n"
        "error. Its exit status is COMMAND's (128+N when signal N ended it, 127 when it cannot\n"
        "be found, 126 when it cannot be run); 255 when kestrel-stat cannot measure.\n");
}

namespace {

void add_string(my_utils::CMDLineContext& ctx, const char* name, const char* value,
                const char* help, void (*action)(CMDLineParams&, const std::string&)) {
    CMDLineElement element = make_option(name, value, help);
    element.on_string = action;
    ctx.options.push_back(std::move(element));
}

}  // namespace

void stat_options_init(my_utils::CMDLineContext& ctx) {
    CMDLineElement sample_time =
        make_option("--sample_time", "MS", "sampling window (ms), 10 to 5000, default 100");
    sample_time.on_uint64 = [](CMDLineParams& p, unsigned long v) {
        get_stat_params(p).sample_time = v;
    };
    ctx.options.push_back(std::move(sample_time));

    CMDLineElement index =
        make_option("--cdsp_index", "N",
                    "measure the compute-DSP core at this index (repeatable), default every core");
    index.on_uint64 = [](CMDLineParams& p, unsigned long v) {
        get_stat_params(p).cdsp_index.push_back(v);
    };
    ctx.options.push_back(std::move(index));

    CMDLineElement pid =
        make_option("--pid", "PID", "measure until the process PID ends (no command)");
    pid.on_uint64 = [](CMDLineParams& p, unsigned long v) {
        get_stat_params(p).pid = v;
        get_stat_params(p).has_pid = true;
    };
    ctx.options.push_back(std::move(pid));

    CMDLineElement duration =
        make_option("--duration", "S", "measure for S seconds (no command; with --pid: at most)");
    duration.on_double = [](CMDLineParams& p, double v) {
        get_stat_params(p).duration = v;
        get_stat_params(p).has_duration = true;
    };
    ctx.options.push_back(std::move(duration));

    add_string(ctx, "-o", "FILE", "write the summary to FILE instead of standard error",
               [](CMDLineParams& p, const std::string& v) { get_stat_params(p).output = v; });
    add_string(ctx, "--json", "FILE",
               "also write the summary as JSON to FILE (- for standard output)",
               [](CMDLineParams& p, const std::string& v) { get_stat_params(p).json = v; });
    add_string(ctx, "--record", "FILE",
               "write every window to FILE as JSON lines (kestrel-top --replay shows them)",
               [](CMDLineParams& p, const std::string& v) { get_stat_params(p).record = v; });
    add_string(ctx, "--replay", "FILE",
               "summarise a recording (kestrel-top's or kestrel-stat's) instead of the DSPs",
               [](CMDLineParams& p, const std::string& v) { get_stat_params(p).replay = v; });
    add_string(ctx, "--trace-json", "FILE",
               "write the run as a timeline (Trace Event Format: Perfetto's UI, chrome://tracing)",
               [](CMDLineParams& p, const std::string& v) { get_stat_params(p).trace_json = v; });

    ctx.options.push_back(program_version_option("kestrel-stat"));
}

int split_command(int argc, const char** argv, std::vector<std::string>* command) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) {
            command->assign(argv + i + 1, argv + argc);
            return i;
        }
    }
    return argc;
}

bool check_stat_params(const StatParams& params, std::string* why) {
    if (params.sample_time < kShortestWindowMs || params.sample_time > kLongestWindowMs) {
        *why = "--sample_time must be from " + std::to_string(kShortestWindowMs) + " to " +
               std::to_string(kLongestWindowMs) + " ms";
        return false;
    }
    if (params.has_duration && !(params.duration > 0.0 && params.duration <= kLongestDuration)) {
        *why = "--duration must be more than 0 and at most a year of seconds";
        return false;
    }
    if (params.has_pid && (params.pid == 0 || params.pid > 0x7fffffff)) {
        *why = "--pid needs a process id";
        return false;
    }
    const bool replay = !params.replay.empty();
    const bool command = !params.command.empty();
    const int sources = (command ? 1 : 0) + (params.has_pid ? 1 : 0) + (replay ? 1 : 0) +
                        (params.has_duration && !params.has_pid ? 1 : 0);
    if (sources != 1) {
        *why = sources == 0 ? "nothing to measure: give a command after --, --pid, --duration or "
                              "--replay"
                            : "give one of a command after --, --pid (with --duration at most), "
                              "--duration or --replay";
        return false;
    }
    if (replay && (!params.record.empty() || !params.cdsp_index.empty())) {
        *why = "--replay takes no --record or --cdsp_index: it uses no DSP";
        return false;
    }
    return true;
}

}  // namespace vorlix::kestrel::stat
