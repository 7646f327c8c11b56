// SoC identification: the SoC id that the kernel publishes in sysfs, and the constant table of
// Qualcomm SoC ids and model names with a lookup by name.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorlix::kestrel {

struct SocIdEntry {
    uint32_t id;
    const char* name;
};

// Number of rows in the SoC table.
inline constexpr std::size_t kSocIdCount = 304;

// The SoC table, in its fixed order (ids mostly ascending; names may repeat).
extern const SocIdEntry soc_id[kSocIdCount];

// Reads "/sys/devices/soc0/soc_id" and returns the id, or -1 after printing why it failed.
int get_cur_device_socid();

// The name the SoC table gives `id`; null for an id it does not hold.
const char* soc_name_by_id(uint32_t id);

}  // namespace vorlix::kestrel

// The run driver's name for the same reader.
inline int get_cur_device_socid() {
    return vorlix::kestrel::get_cur_device_socid();
}

// Id of the first table row whose name equals `name` exactly, or 0 when no row matches.
uint32_t get_socid_by_name(const char* name);
