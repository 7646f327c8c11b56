#include "cpu/cmdline_user.h"

#include <cstdlib>
#include <utility>

#include "cpu/config.h"
#include "cpu/output.h"

using my_utils::CMDLineContext;
using my_utils::CMDLineElement;
using my_utils::CMDLineParams;

namespace {

constexpr const char* kNumber = "UINT64";

CMDLineElement flag(std::vector<const char*> names, const char* help,
                    void (*action)(CMDLineParams&)) {
    CMDLineElement element;
    element.names = std::move(names);
    element.help = help;
    element.on_flag = action;
    return element;
}

CMDLineElement number(const char* name, const char* help,
                      void (*action)(CMDLineParams&, unsigned long)) {
    CMDLineElement element;
    element.names = {name};
    element.value_type = kNumber;
    element.help = help;
    element.on_uint64 = action;
    return element;
}

// The number options keep the low 32 bits of the value; no range is checked here.
std::uint32_t low32(unsigned long value) {
    return static_cast<std::uint32_t>(value);
}

}  // namespace

cmdline_user_params& get_user_param(CMDLineParams& params) {
    return *static_cast<cmdline_user_params*>(params.user_param);
}

void cmdline_user_init(CMDLineContext& ctx) {
    auto& options = ctx.options;
    options.push_back(flag({"--query_info"},
                           "print dsp basic-info(core-num/domain_id/domain_name/vtcm ... ...)",
                           [](CMDLineParams& p) { get_user_param(p).query_info = true; }));
    options.push_back(flag({"--version"}, "print version and build info", [](CMDLineParams&) {
        vorlix::kestrel::print_version_block();
        std::exit(vorlix::kestrel::finish_output(0));
    }));
    options.push_back(number(
        "--sample_time", "sample time (ms), default 1000",
        [](CMDLineParams& p, unsigned long v) { get_user_param(p).sample_time = low32(v); }));
    options.push_back(flag({"--run_local"}, "enable run local mode",
                           [](CMDLineParams& p) { get_user_param(p).run_local = true; }));
    options.push_back(flag({"--run_legacy"}, "enable run legacy mode for old dsp, eg: v66, v68",
                           [](CMDLineParams& p) { get_user_param(p).run_legacy = true; }));
    options.push_back(flag({"--all"}, "print all metric",
                           [](CMDLineParams& p) { get_user_param(p).all = true; }));
    options.push_back(flag({"--dsp"}, "print dsp metric",
                           [](CMDLineParams& p) { get_user_param(p).dsp = true; }));
    options.push_back(flag({"--hvx"}, "print hvx metric",
                           [](CMDLineParams& p) { get_user_param(p).hvx = true; }));
    options.push_back(flag({"--hmx"}, "print hmx metric",
                           [](CMDLineParams& p) { get_user_param(p).hmx = true; }));
    options.push_back(flag({"--debug"}, "print debug metric",
                           [](CMDLineParams& p) { get_user_param(p).debug = true; }));
    options.push_back(flag({"--follow", "-f"}, "wait for new messages",
                           [](CMDLineParams& p) { get_user_param(p).follow = true; }));
    options.push_back(number("--sample_interval_time", "sample interval time (ms), default 20",
                             [](CMDLineParams& p, unsigned long v) {
                                 get_user_param(p).sample_interval_time = low32(v);
                             }));
    options.push_back(
        number("--cdsp_index",
               "cdsp index, default 0. Now only used for qcs9075/sa8797p. other "
               "targets will ignore this param.",
               [](CMDLineParams& p, unsigned long v) { get_user_param(p).cdsp_index = low32(v); }));
    options.push_back(number(
        "--enable_unsigned_pd", "enable unsigned pd, 0=false 1=true, default 1",
        [](CMDLineParams& p, unsigned long v) { get_user_param(p).enable_unsigned_pd = v != 0; }));
}
