// The exporter's descriptor limit.
#include "cpu/exporter/descriptor_limit.h"

#include <sys/resource.h>

#include <algorithm>

namespace vorlix::kestrel::exporter {

unsigned connections_for(std::uint64_t limit) {
    const std::uint64_t left = limit > kReservedDescriptors ? limit - kReservedDescriptors : 0;
    return static_cast<unsigned>(
        std::clamp<std::uint64_t>(left, kFewestConnections, kMostConnections));
}

DescriptorBudget raise_descriptor_limit() {
    rlimit limits{};
    if (getrlimit(RLIMIT_NOFILE, &limits) == 0 && limits.rlim_cur < limits.rlim_max) {
        rlimit raised = limits;
        raised.rlim_cur = limits.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limits = raised;
        }
    }
    DescriptorBudget budget;
    budget.limit = limits.rlim_cur;
    budget.connections = connections_for(budget.limit);
    return budget;
}

}  // namespace vorlix::kestrel::exporter
