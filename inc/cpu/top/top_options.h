// kestrel-top's command-line options, in the monitor's option toolkit: the record they fill and
// the callback that registers them with the parser.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cpu/cmdline.h"

namespace vorlix::kestrel::top {

inline constexpr std::uint32_t kShortestWindowMs = 100;
inline constexpr std::uint32_t kLongestWindowMs = 5000;
inline constexpr std::uint32_t kWindowStepMs = 100;

struct TopParams {
    std::uint64_t sample_time = 1000;       // sampling window, milliseconds
    std::vector<std::uint64_t> cdsp_index;  // the one core to show; empty for every core
    std::string record;                     // recording file; empty for none
    std::string replay;                     // recording to replay; empty for a live run
    bool mono = false;
    bool ascii = false;  // ASCII only, whatever the locale
};

// The record that params.user_param points at.
TopParams& get_top_params(my_utils::CMDLineParams& params);

// Appends kestrel-top's options to the context.
void top_options_init(my_utils::CMDLineContext& ctx);

// Checks the values together. False, with the reason in `why`.
bool check_top_params(const TopParams& params, std::string* why);

}  // namespace vorlix::kestrel::top
