// The compute-DSP cores of the board: which core an index addresses on each SoC, every core of
// the board, and the board as a program that samples it sees it at start (SoC id, rules, cores).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cpu/dsp_utils.h"
#include "cpu/soc_rules.h"

namespace vorlix::kestrel {

// The session parameters of one compute-DSP core.
struct CoreTarget {
    std::uint32_t index = 0;           // the core's index on the board (--cdsp_index)
    std::string domain_name = "cdsp";  // the _dom= value of the session URI
    std::uint32_t domain_id = 3;       // FastRPC domain id (unsigned PD request)
    bool unsigned_pd = true;           // false where the SoC never runs an unsigned PD
    unsigned arch = 0;                 // architecture byte (0x75 is V75); 0 when unknown
};

// Outcome of choosing the core at an index.
enum class CoreChoice {
    kOk,
    kQcs9075Index,   // two CDSPs: the index is above 1
    kSa8797pIndex,   // the platform's cores, one four-core device: the index is above 3
    kSa8797pNoCore,  // the platform's cores: the platform reported no core at the index
};

// The core at `index` on `soc`, from the platform's domain array and the SoC's rules. With two
// CDSPs the index picks cdsp (3) or cdsp1 (4); where the platform names the cores, the name and
// effective id of the reported core, with the unsigned PD as the rules say; elsewhere "cdsp"
// (3). The architecture version is the chosen item's, 0 when the platform reported no item
// there. `out` is written only for kOk.
CoreChoice choose_core(std::uint32_t soc, const DspDomainArray& domains, std::uint32_t index,
                       CoreTarget* out);

// Every compute-DSP core of the board, in index order: both CDSPs where there are two, each core
// of the first device where the platform names them, the one "cdsp" elsewhere.
std::vector<CoreTarget> board_cores(std::uint32_t soc, const DspDomainArray& domains);

// The board as a sampling program sees it: the SoC id read once for the whole run, the platform's
// cores collected with that id, and the cores the SoC's rules make of them.
struct Board {
    std::uint32_t soc_id = 0;
    std::string soc_name;  // from the SoC table; "unknown" for an id it does not hold
    const SocRule* rule = nullptr;
    DspDomainArray domains;
    std::vector<CoreTarget> cores;

    bool legacy() const { return rule != nullptr && rule->legacy; }
};

// Reads the SoC id, collects the platform's cores and applies the rules. False, with what failed
// in `error`, when the SoC id cannot be read or the cores cannot be listed (the platform queries
// print their own lines on standard output first).
bool discover_board(Board* board, std::string* error);

// The cores of `board` at `indexes`, each once, in the given order; every core when `indexes`
// is empty. False, with the reason in `error`, for an index the board does not have.
bool select_cores(const Board& board, const std::vector<std::uint64_t>& indexes,
                  std::vector<CoreTarget>* out, std::string* error);

// The start of every program that samples cores: discover_board, then select_cores, and a board
// without any core is a failure too ("the platform reports no compute-DSP core"). False, with the
// reason in `error`.
bool discover_cores(const std::vector<std::uint64_t>& indexes, Board* board,
                    std::vector<CoreTarget>* out, std::string* error);

// "V73" for the architecture byte 0x73; "unknown" for 0.
std::string arch_label(unsigned arch);

}  // namespace vorlix::kestrel
