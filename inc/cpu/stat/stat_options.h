// kestrel-stat's command line: its options, in the monitor's option toolkit, and the command
// after "--".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cpu/cmdline.h"

namespace vorlix::kestrel::stat {

inline constexpr std::uint32_t kShortestWindowMs = 10;
inline constexpr std::uint32_t kLongestWindowMs = 5000;
// The longest --duration, in seconds (a year).
inline constexpr double kLongestDuration = 366.0 * 24 * 3600;

struct StatParams {
    std::uint64_t sample_time = 100;        // sampling window, milliseconds
    std::vector<std::uint64_t> cdsp_index;  // the cores to measure; empty for every core
    std::uint64_t pid = 0;                  // --pid: measure until it ends; 0 for none
    bool has_pid = false;
    double duration = 0.0;  // --duration: seconds to measure; 0 for none
    bool has_duration = false;
    std::string output;                // -o: the summary's file; empty for standard error
    std::string json;                  // --json: the JSON summary's file, "-" for standard output
    std::string record;                // --record: each window as a JSON line
    std::string replay;                // --replay: a recording to summarise instead of the DSPs
    std::string trace_json;            // --trace-json: the timeline
    std::vector<std::string> command;  // after "--"
};

// The record that params.user_param points at.
StatParams& get_stat_params(my_utils::CMDLineParams& params);

// Appends kestrel-stat's options to the context.
void stat_options_init(my_utils::CMDLineContext& ctx);

// Printed after the option listing of -h.
void print_stat_usage(int argc, const char** argv);

// The arguments before the first "--" go to the option parser; those after it are the command.
// The first count of `argv` that is an option (argv[0] included).
int split_command(int argc, const char** argv, std::vector<std::string>* command);

// Checks the values together: one of a command, --pid, --duration or --replay (--pid may come
// with --duration), the window's range. False, with the reason in `why`.
bool check_stat_params(const StatParams& params, std::string* why);

}  // namespace vorlix::kestrel::stat
