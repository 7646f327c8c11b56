// The descriptors the exporter may have open. At start the soft limit is raised to the hard one,
// as the ecosystem's Go exporters do (a service manager's default soft limit, 1024, is far below
// what idle clients can hold open), and connections may take what is left after a reserve for
// the exporter's own files: sysfs, the DSP sessions, the textfile, the web configuration.
#pragma once

#include <cstdint>

namespace vorlix::kestrel::exporter {

struct DescriptorBudget {
    std::uint64_t limit = 0;   // the soft limit now (unlimited counts as the largest value)
    unsigned connections = 0;  // connections the server may hold at once
};

// Descriptors kept for the exporter itself, and the most connections at once whatever the
// limit (each holds a few tens of KiB).
inline constexpr unsigned kReservedDescriptors = 128;
inline constexpr unsigned kMostConnections = 16384;
inline constexpr unsigned kFewestConnections = 16;

// The connections `limit` descriptors allow.
unsigned connections_for(std::uint64_t limit);

// Raises the soft limit of descriptors to the hard one (left as it is when that fails) and
// returns the budget.
DescriptorBudget raise_descriptor_limit();

}  // namespace vorlix::kestrel::exporter
