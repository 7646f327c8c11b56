// The SoC rules: which SoCs sample only in the legacy mode, how each SoC's compute-DSP cores are
// found and addressed, and which platform requests a SoC must not be sent. One table, consulted
// by every program and by the DSP domain queries; SoCs without a row follow the default rule.
#pragma once

#include <cstdint>

namespace vorlix::kestrel {

// How the compute-DSP cores of a SoC are found and which domain an index addresses.
enum class CoreLayout {
    kOneCdsp,        // one CDSP, "cdsp" (domain 3); the index is not range-checked
    kTwoCdsps,       // two CDSPs: index 0 is "cdsp" (3), index 1 "cdsp1" (4)
    kPlatformCores,  // the cores of the platform's first NSP device, by their own names and ids
};

struct SocRule {
    const char* name;         // model name in the SoC table; null for the default rule
    bool legacy;              // its DSP has no PMU group: it samples only in the legacy mode
    CoreLayout layout;        //
    std::uint32_t max_index;  // highest core index the layout accepts (kTwoCdsps, kPlatformCores)
    bool unsigned_pd;         // an unsigned PD is requested for its sessions
    bool capability_queries;  // its VTCM size and architecture version are asked of the platform
};

// The rules of the SoC with this id (compared with the ids the SoC table gives the rows' names,
// in table order); the default rule for any other SoC.
const SocRule& soc_rule(std::uint32_t soc);

// A FastRPC domain that a layout fixes by itself.
struct FixedDomain {
    const char* name;
    std::uint32_t id;
};

// The domain of the core at `index` where the layout fixes it without asking the platform:
// "cdsp" (3) for one CDSP, whatever the index; "cdsp" (3) and "cdsp1" (4) at 0 and 1 for two.
// Null for the platform's cores and for an index beyond two CDSPs.
const FixedDomain* fixed_domain(const SocRule& rule, std::uint32_t index);

// How many cores the layout fixes: 1 or 2; 0 where the platform names them.
std::uint32_t fixed_core_count(const SocRule& rule);

// SoCs whose DSP has no PMU group (SM8250, QCM6490, QCS6490): they sample only in legacy mode.
bool is_legacy_soc(std::uint32_t soc);

}  // namespace vorlix::kestrel
