// kestrel-top's command-line options.
#include "cpu/top/top_options.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "cpu/program_options.h"

namespace vorlix::kestrel::top {

using my_utils::CMDLineElement;
using my_utils::CMDLineParams;
using my_utils::make_option;

TopParams& get_top_params(CMDLineParams& params) {
    return *static_cast<TopParams*>(params.user_param);
}

void top_options_init(my_utils::CMDLineContext& ctx) {
    auto& options = ctx.options;

    CMDLineElement sample_time =
        make_option("--sample_time", "MS", "sampling window (ms), 100 to 5000, default 1000");
    sample_time.on_uint64 = [](CMDLineParams& p, unsigned long v) {
        get_top_params(p).sample_time = v;
    };
    options.push_back(std::move(sample_time));

    CMDLineElement index =
        make_option("--cdsp_index", "N", "show only this compute-DSP core, default every core");
    index.on_uint64 = [](CMDLineParams& p, unsigned long v) {
        get_top_params(p).cdsp_index.push_back(v);
    };
    options.push_back(std::move(index));

    CMDLineElement record = make_option("--record", "FILE",
                                        "write each core's windows and failures to FILE as JSON "
                                        "lines while showing them");
    record.on_string = [](CMDLineParams& p, const std::string& v) { get_top_params(p).record = v; };
    options.push_back(std::move(record));

    CMDLineElement replay = make_option("--replay", "FILE",
                                        "show a recording made with --record instead of the DSPs "
                                        "(no DSP is used)");
    replay.on_string = [](CMDLineParams& p, const std::string& v) { get_top_params(p).replay = v; };
    options.push_back(std::move(replay));

    CMDLineElement mono = make_option("--mono", nullptr, "no colours (also when NO_COLOR is set)");
    mono.on_flag = [](CMDLineParams& p) { get_top_params(p).mono = true; };
    options.push_back(std::move(mono));

    CMDLineElement ascii = make_option(
        "--ascii", nullptr, "frames, bars and plots in ASCII (also when the locale is not UTF-8)");
    ascii.on_flag = [](CMDLineParams& p) { get_top_params(p).ascii = true; };
    options.push_back(std::move(ascii));

    options.push_back(program_version_option("kestrel-top"));
}

bool check_top_params(const TopParams& params, std::string* why) {
    if (params.sample_time < kShortestWindowMs || params.sample_time > kLongestWindowMs) {
        *why = "--sample_time must be from " + std::to_string(kShortestWindowMs) + " to " +
               std::to_string(kLongestWindowMs) + " ms";
        return false;
    }
    if (params.cdsp_index.size() > 1) {
        *why = "--cdsp_index names one core";
        return false;
    }
    if (!params.record.empty() && !params.replay.empty()) {
        *why = "--record and --replay cannot be used together";
        return false;
    }
    return true;
}

}  // namespace vorlix::kestrel::top
