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

// Where the kernel publishes the SoC id.
inline constexpr const char* kSocIdPath = "/sys/devices/soc0/soc_id";

// The step of reading the SoC id that failed.
enum class SocIdStep { kOpen, kRead };

// Reads the SoC id from kSocIdPath into `id`: 0, or the errno of the step that failed (in
// `step`). Prints nothing.
int read_soc_id(uint32_t* id, SocIdStep* step);

// Reads the SoC id and returns it, or -1 after printing why it failed.
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
