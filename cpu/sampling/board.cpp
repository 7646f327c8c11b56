// The compute-DSP cores of the board by the SoC's rules, from a domain array already collected:
// no platform call, so that kestrel-doctor takes this in without the FastRPC client library.
#include "cpu/sampling/board.h"

#include <cstdio>

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

std::string arch_label(unsigned arch) {
    if (arch == 0) {
        return "unknown";
    }
    char text[8];
    std::snprintf(text, sizeof text, "V%02x", arch & 0xffu);
    return text;
}

}  // namespace vorlix::kestrel
