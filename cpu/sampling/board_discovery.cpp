// The board as a sampling program sees it at start: the SoC id, the platform's cores, and the
// cores a run chose among them. Kept apart from board.cpp: the platform is called here.
#include "cpu/sampling/board.h"

#include <algorithm>

#include "cpu/dsp_utils.h"
#include "cpu/socinfo.h"

namespace vorlix::kestrel {

bool discover_board(Board* board, std::string* error) {
    const int socid = get_cur_device_socid();
    if (socid < 0) {
        *error = "cannot read the SoC id";
        return false;
    }
    board->soc_id = static_cast<std::uint32_t>(socid);
    const char* name = soc_name_by_id(board->soc_id);
    board->soc_name = name != nullptr ? name : "unknown";
    board->rule = &soc_rule(board->soc_id);
    board->domains.clear();
    if (DspUtils::fastrpc_get_dsp_domain_array(board->domains, socid) < 0) {
        *error = "cannot list the compute-DSP cores (fastrpc_get_dsp_domain_array)";
        return false;
    }
    board->cores = board_cores(board->soc_id, board->domains);
    return true;
}

bool select_cores(const Board& board, const std::vector<std::uint64_t>& indexes,
                  std::vector<CoreTarget>* out, std::string* error) {
    if (indexes.empty()) {
        *out = board.cores;
        return true;
    }
    std::vector<std::uint64_t> taken;
    for (const std::uint64_t index : indexes) {
        if (index >= board.cores.size()) {
            *error = "invalid cdsp_index " + std::to_string(index) + ": the board has " +
                     std::to_string(board.cores.size()) + " compute-DSP core(s)";
            return false;
        }
        if (std::find(taken.begin(), taken.end(), index) == taken.end()) {
            taken.push_back(index);
            out->push_back(board.cores[index]);
        }
    }
    return true;
}

bool discover_cores(const std::vector<std::uint64_t>& indexes, Board* board,
                    std::vector<CoreTarget>* out, std::string* error) {
    if (!discover_board(board, error) || !select_cores(*board, indexes, out, error)) {
        return false;
    }
    if (out->empty()) {
        *error = "the platform reports no compute-DSP core";
        return false;
    }
    return true;
}

}  // namespace vorlix::kestrel
