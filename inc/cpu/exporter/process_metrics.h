// The exporter's own process in the families every Prometheus exporter has: CPU time, resident
// and virtual memory, open and allowed descriptors, start time; read from /proc/self.
#pragma once

#include <string>

namespace vorlix::kestrel::exporter {

// The process_* families with their HELP and TYPE lines; a figure that cannot be read is left
// out (its family then has no sample).
std::string render_process_metrics();

}  // namespace vorlix::kestrel::exporter
