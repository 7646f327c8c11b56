// The exporter's run driver: options, the board's compute-DSP cores by the monitor's SoC rules,
// one sampling thread per core, the HTTP endpoint, and the orderly stop on SIGINT or SIGTERM.
#pragma once

namespace vorlix::kestrel::exporter {

// One run of the exporter: 0 on success (also after a stop signal), -1 on failure.
int exporter_run(int argc, const char** argv);

}  // namespace vorlix::kestrel::exporter
