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
    // --web.listen-address (or --listen), repeatable; empty for the default address.
    std::vector<std::string> listen;
    std::string telemetry_path = "/metrics";
    std::string web_config_file;  // empty for none
    bool systemd_socket = false;  // the listening sockets come from systemd
    bool exporter_metrics = true;
    std::uint64_t max_requests = 40;        // 0 for no limit
    std::uint64_t sample_time = 1000;       // sampling window, milliseconds
    std::vector<std::uint64_t> cdsp_index;  // cores to sample; empty for all
    std::string textfile;                   // directory for kestrel.prom; empty for none
    bool once = false;
};

// The record that params.user_param points at.
ExporterParams& get_exporter_params(my_utils::CMDLineParams& params);

// Appends the exporter's options to the context.
void exporter_options_init(my_utils::CMDLineContext& ctx);

// The arguments with each "--name=value" of an option that takes a value split into "--name"
// and "value", as Prometheus exporters accept them; everything else as it is.
std::vector<std::string> split_option_values(int argc, const char** argv);

}  // namespace vorlix::kestrel::exporter
