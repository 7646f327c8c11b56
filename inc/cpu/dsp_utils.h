// Queries about the DSP domains through the platform's FastRPC client library: unsigned
// protection domains, effective domain ids, VTCM size, architecture version, and the collection
// and printing of the compute-DSP cores.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fastrpc/fastrpc_client.h"

namespace vorlix::kestrel {

// One compute-DSP core.
struct DspInfoItem {
    fastrpc_domain domain_info;  // kept byte for byte as the platform filled it
    int32_t effect_id;           // effective domain id; -1 when unknown
    float vtcm_size_mb;          // VTCM size in MB; -1.0 when unknown
    uint32_t hex_arch_ver;       // architecture byte (0x68 is V68); 0 when unknown
};

// One group per NSP device, one item per core of that device.
using DspInfoGroup = std::vector<DspInfoItem>;
using DspDomainArray = std::vector<DspInfoGroup>;

// Largest domain count accepted from the platform; a larger (or negative) count is a platform
// fault and makes the collection fail instead of allocating or reading on its word.
inline constexpr int32_t kMaxPlatformDomains = 256;

// The domain name of a record as text, read no further than the 32-byte name field even when
// the platform left out the terminating NUL.
std::string domain_name_of(const fastrpc_domain& domain);

class DspUtils {
  public:
    DspUtils() = delete;

    // Allows unsigned protection domains on `domain`: 0 when enabled, -1 on failure.
    static int try_enable_unsigned_pd(int domain);
    // The same, with the platform's result in `result` (0 when the request was not made).
    static int try_enable_unsigned_pd(int domain, int* result);
    // True only when the platform reports unsigned PD support for `domain`.
    static bool check_unsignedpd_supported(int domain);
    // Effective domain id of the named domain, or -1.
    static int get_effective_domain_id(char* domain_name, int session_id);
    // VTCM size in MB, or -1.0 when not known (always on SA8797P).
    static float get_vtcm_size_mb(int domain);
    // Stores the architecture byte in `arch`: 0 on success (or skipped on SA8797P), -1 failed.
    static int get_hex_arch_ver(int domain, unsigned int* arch);
    // Static name of a domain type.
    static const char* fastrpc_domain_type_to_string(int type);
    // Appends the compute-DSP cores to `domains`: 0 on success, -1 on failure (nothing appended).
    // Each core's VTCM and architecture queries read the SoC id afresh.
    static int fastrpc_get_dsp_domain_array(DspDomainArray& domains);
    // The same for a program that read the SoC id once for its whole run: `socid` stands for
    // every read (negative: unreadable).
    static int fastrpc_get_dsp_domain_array(DspDomainArray& domains, int socid);
};

}  // namespace vorlix::kestrel
