// The compute-DSP cores of the board.
#include "cpu/sampling/board.h"

#include <algorithm>
#include <cstdio>

#include "cpu/socinfo.h"

namespace vorlix::kestrel {

namespace {

// The item at `index` in the first group, null when the platform reported none there. With two
// CDSPs the index picks the domain itself (cdsp or cdsp1), and a platform without the domain
// list reports each CDSP as a group of its own, so there the index goes on counting through the
// following groups. Elsewhere another group's core is another DSP than the one sampled, and its
// architecture must not be shown for it.
const DspInfoItem* item_at(const DspDomainArray& domains, std::uint32_t index, bool across_groups) {
    std::size_t remaining = index;
    for (const auto& group : domains) {
        if (remaining < group.size()) {
            return &group[remaining];
        }
        if (!across_groups) {
            break;
        }
        remaining -= group.size();
    }
    return nullptr;
}

}  // namespace

CoreChoice choose_core(std::uint32_t soc, const DspDomainArray& domains, std::uint32_t index,
                       CoreTarget* out) {
    const SocRule& rule = soc_rule(soc);
    CoreTarget target;
    target.index = index;
    target.unsigned_pd = rule.unsigned_pd;
    const bool two_cdsps = rule.layout == CoreLayout::kTwoCdsps;
    if (two_cdsps && index > rule.max_index) {
        return CoreChoice::kQcs9075Index;
    }
    if (const FixedDomain* fixed = fixed_domain(rule, index)) {
        target.domain_name = fixed->name;
        target.domain_id = fixed->id;
    }
    const DspInfoItem* item = item_at(domains, index, two_cdsps);
    if (rule.layout == CoreLayout::kPlatformCores) {
        if (index > rule.max_index && domains.size() == 1 &&
            domains.front().size() == rule.max_index + 1) {
            return CoreChoice::kSa8797pIndex;
        }
        // The session's domain comes from the platform's description of the core, so an index
        // that addresses no reported core cannot be used.
        if (item == nullptr) {
            return CoreChoice::kSa8797pNoCore;
        }
        target.domain_name = domain_name_of(item->domain_info);
        target.domain_id = static_cast<std::uint32_t>(item->effect_id);
    }
    target.arch = item != nullptr ? item->hex_arch_ver : 0;
    *out = target;
    return CoreChoice::kOk;
}

std::vector<CoreTarget> board_cores(std::uint32_t soc, const DspDomainArray& domains) {
    const SocRule& rule = soc_rule(soc);
    std::uint32_t count = fixed_core_count(rule);
    if (rule.layout == CoreLayout::kPlatformCores) {
        count = domains.empty() ? 0 : static_cast<std::uint32_t>(domains.front().size());
    }
    std::vector<CoreTarget> cores;
    for (std::uint32_t index = 0; index < count; ++index) {
        CoreTarget target;
        if (choose_core(soc, domains, index, &target) == CoreChoice::kOk) {
            cores.push_back(target);
        }
    }
    return cores;
}

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

std::string arch_label(unsigned arch) {
    if (arch == 0) {
        return "unknown";
    }
    char text[8];
    std::snprintf(text, sizeof text, "V%02x", arch & 0xffu);
    return text;
}

}  // namespace vorlix::kestrel
