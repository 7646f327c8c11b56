// The exporter's command-line options, in the monitor's option toolkit: the record they fill and
// the callback that registers them with the parser.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cpu/cmdline.h"

namespace vorlix::kestrel::exporter {

// Default listen address: loopback, and the exporter's port.
inline constexpr const char* kDefaultListen = "127.0.0.1:9846";

struct ExporterParams {
    std::string listen = kDefaultListen;
    std::uint64_t sample_time = 1000;       // sampling window, milliseconds
    std::vector<std::uint64_t> cdsp_index;  // cores to sample; empty for all
    std::string textfile;                   // directory for kestrel.prom; empty for none
    bool once = false;
};

// The record that params.user_param points at.
ExporterParams& get_exporter_params(my_utils::CMDLineParams& params);

// Appends the exporter's options to the context.
void exporter_options_init(my_utils::CMDLineContext& ctx);

// Prints the exporter's version block to standard output.
void print_exporter_version();

}  // namespace vorlix::kestrel::exporter
