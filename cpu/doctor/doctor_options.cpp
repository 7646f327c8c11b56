// kestrel-doctor's command-line options.
#include "cpu/doctor/doctor_options.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "cpu/program_options.h"

namespace vorlix::kestrel::doctor {

using my_utils::CMDLineElement;
using my_utils::CMDLineParams;

DoctorOptions& get_doctor_options(CMDLineParams& params) {
    return *static_cast<DoctorOptions*>(params.user_param);
}

void print_doctor_usage(int, const char**) {
    std::printf(
        "\nkestrel-doctor checks, link by link and causes first, what kestrel needs on this\n"
        "board: the SoC id and its rules, the FastRPC client library, each compute DSP's remote\n"
        "processor, device node and temperature, libkestrel.so and libkestrel_skel.so, and a\n"
        "short session on each core. It prints one line per check (skip for one that a failure\n"
        "before it makes moot) and a remedy under each failure; it changes nothing.\n"
        "Exit status: 0 when every check passes (warnings allowed), 1 when one fails, 2 for a\n"
        "bad command line.\n");
}

void doctor_options_init(my_utils::CMDLineContext& ctx) {
    CMDLineElement index = my_utils::make_option(
        "--cdsp_index", "N", "check only the compute-DSP core at this index, default every core");
    index.on_uint64 = [](CMDLineParams& p, unsigned long v) {
        DoctorOptions& options = get_doctor_options(p);
        options.one_core = true;
        options.cdsp_index = v;
    };
    ctx.options.push_back(std::move(index));

    ctx.options.push_back(program_version_option("kestrel-doctor"));
}

}  // namespace vorlix::kestrel::doctor
