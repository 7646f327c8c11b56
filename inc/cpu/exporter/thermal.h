// The kernel's thermal zones of the NSP (the compute DSP): every
// /sys/class/thermal/thermal_zoneN whose type starts with "nsp".
#pragma once

#include <vector>

#include "cpu/exporter/exposition.h"

namespace vorlix::kestrel::exporter {

// The NSP zones in zone number order, with their temperature in degrees Celsius (the kernel
// gives millidegrees). A zone whose type or temperature cannot be read is left out, and so is
// a second zone of a type already listed; no zones, an empty list.
std::vector<ThermalZone> read_nsp_thermal_zones();

}  // namespace vorlix::kestrel::exporter
