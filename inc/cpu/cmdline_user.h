// The monitor's own command-line options: the parameter record they fill and the callback that
// registers them with the toolkit's parser.
#pragma once

#include <cstdint>
#include <string>

#include "cpu/cmdline.h"

struct cmdline_user_params {
    bool dsp = false;
    bool hvx = false;
    bool hmx = false;
    bool all = false;
    bool debug = false;
    bool query_info = false;
    std::uint32_t sample_time = 1000;  // sampling window, milliseconds
    bool run_local = false;
    bool run_legacy = false;
    bool follow = false;
    std::uint32_t sample_interval_time = 20;  // pause between samples, milliseconds
    std::string domain_name = "cdsp";
    std::uint32_t domain_id = 3;  // FastRPC domain id
    std::uint32_t cdsp_index = 0;
    bool enable_unsigned_pd = true;
};

// The record that params.user_param points at.
cmdline_user_params& get_user_param(my_utils::CMDLineParams& params);

// Appends the monitor's fourteen options to the context.
void cmdline_user_init(my_utils::CMDLineContext& ctx);
