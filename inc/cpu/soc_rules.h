// The SoC rules of a sampling session: which SoCs need the legacy sampling path, and which
// domain, domain id, architecture version and unsigned-PD choice a compute-DSP core index stands
// for on each SoC. Shared by kestrel's run driver (one core) and the exporter (every core).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cpu/dsp_utils.h"

namespace vorlix::kestrel {

// The session parameters of one compute-DSP core.
struct CoreTarget {
    std::string domain_name = "cdsp";  // the _dom= value of the session URI
    std::uint32_t domain_id = 3;       // FastRPC domain id (unsigned PD request)
    bool unsigned_pd = true;           // false where the SoC never runs an unsigned PD
    unsigned arch = 0;                 // architecture byte (0x75 is V75); 0 when unknown
};

// Outcome of choosing the core at an index.
enum class CoreChoice {
    kOk,
    kQcs9075Index,   // QCS9075 has two CDSPs: the index is above 1
    kSa8797pIndex,   // SA8797P with one four-core device: the index is above 3
    kSa8797pNoCore,  // SA8797P: the platform reported no core at the index
};

// SoCs whose DSP has no PMU group (SM8250, QCM6490, QCS6490): they sample only in legacy mode.
bool is_legacy_soc(std::uint32_t soc);

// The core at `index` on `soc`, from the platform's domain array. On QCS9075 the index picks
// cdsp (3) or cdsp1 (4); on SA8797P the name and effective id of the reported core, with the
// unsigned PD off; elsewhere "cdsp" (3). The architecture version is the chosen item's, 0 when
// the platform reported no item there. `out` is written only for kOk.
CoreChoice choose_core(std::uint32_t soc, const DspDomainArray& domains, std::uint32_t index,
                       CoreTarget* out);

// Every compute-DSP core of the board, in index order: both CDSPs on QCS9075, each core of the
// first device on SA8797P, the one "cdsp" elsewhere.
std::vector<CoreTarget> board_cores(std::uint32_t soc, const DspDomainArray& domains);

}  // namespace vorlix::kestrel
