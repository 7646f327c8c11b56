// The SoC rules of a sampling session.
#include "cpu/soc_rules.h"

#include "cpu/socinfo.h"

namespace vorlix::kestrel {

namespace {

// The item at `index` in the first group, null when the platform reported none there. On
// QCS9075 the index picks the domain itself (cdsp or cdsp1), and a platform without the domain
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

bool is_legacy_soc(std::uint32_t soc) {
    return soc == get_socid_by_name("SM8250") || soc == get_socid_by_name("QCM6490") ||
           soc == get_socid_by_name("QCS6490");
}

CoreChoice choose_core(std::uint32_t soc, const DspDomainArray& domains, std::uint32_t index,
                       CoreTarget* out) {
    CoreTarget target;
    const bool qcs9075 = soc == get_socid_by_name("QCS9075");
    if (qcs9075) {
        if (index > 1) {
            return CoreChoice::kQcs9075Index;
        }
        target.domain_name = index == 1 ? "cdsp1" : "cdsp";
        target.domain_id = index == 1 ? 4 : 3;
    }
    const DspInfoItem* item = item_at(domains, index, qcs9075);
    if (soc == get_socid_by_name("SA8797P")) {
        if (index > 3 && domains.size() == 1 && domains.front().size() == 4) {
            return CoreChoice::kSa8797pIndex;
        }
        // The session's domain comes from the platform's description of the core, so an index
        // that addresses no reported core cannot be used.
        if (item == nullptr) {
            return CoreChoice::kSa8797pNoCore;
        }
        target.domain_name = domain_name_of(item->domain_info);
        target.unsigned_pd = false;
        target.domain_id = static_cast<std::uint32_t>(item->effect_id);
    }
    target.arch = item != nullptr ? item->hex_arch_ver : 0;
    *out = target;
    return CoreChoice::kOk;
}

std::vector<CoreTarget> board_cores(std::uint32_t soc, const DspDomainArray& domains) {
    std::uint32_t count = 1;
    if (soc == get_socid_by_name("QCS9075")) {
        count = 2;
    } else if (soc == get_socid_by_name("SA8797P")) {
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

}  // namespace vorlix::kestrel
