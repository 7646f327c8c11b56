// The SoC rules table.
#include "cpu/soc_rules.h"

#include <array>
#include <cstddef>
#include <iterator>

#include "cpu/socinfo.h"

namespace vorlix::kestrel {

namespace {

constexpr SocRule kDefaultRule = {nullptr, false, CoreLayout::kOneCdsp, 0, true, true};

// The SoCs that differ from the default rule, each named as the SoC table names it.
constexpr SocRule kSocRules[] = {
    {"SM8250", true, CoreLayout::kOneCdsp, 0, true, true},
    {"QCM6490", true, CoreLayout::kOneCdsp, 0, true, true},
    {"QCS6490", true, CoreLayout::kOneCdsp, 0, true, true},
    {"QCS9075", false, CoreLayout::kTwoCdsps, 1, true, true},
    // Four NSP cores; the platform names them and gives their effective ids. The platform
    // answers neither the unsigned PD request nor the VTCM and architecture queries there.
    {"SA8797P", false, CoreLayout::kPlatformCores, 3, false, false},
};

}  // namespace

const SocRule& soc_rule(std::uint32_t soc) {
    // The rows' ids, looked up in the SoC table once: the domain queries consult the rules for
    // every core they describe.
    static const auto ids = [] {
        std::array<std::uint32_t, std::size(kSocRules)> found{};
        for (std::size_t i = 0; i < found.size(); ++i) {
            found[i] = get_socid_by_name(kSocRules[i].name);
        }
        return found;
    }();
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (soc == ids[i]) {
            return kSocRules[i];
        }
    }
    return kDefaultRule;
}

const FixedDomain* fixed_domain(const SocRule& rule, std::uint32_t index) {
    static constexpr FixedDomain kCdsps[] = {{"cdsp", 3}, {"cdsp1", 4}};
    switch (rule.layout) {
        case CoreLayout::kOneCdsp:
            return &kCdsps[0];
        case CoreLayout::kTwoCdsps:
            return index <= rule.max_index && index < std::size(kCdsps) ? &kCdsps[index] : nullptr;
        case CoreLayout::kPlatformCores:
            break;
    }
    return nullptr;
}

std::uint32_t fixed_core_count(const SocRule& rule) {
    switch (rule.layout) {
        case CoreLayout::kOneCdsp:
            return 1;
        case CoreLayout::kTwoCdsps:
            return rule.max_index + 1;
        case CoreLayout::kPlatformCores:
            break;
    }
    return 0;
}

bool is_legacy_soc(std::uint32_t soc) {
    return soc_rule(soc).legacy;
}

}  // namespace vorlix::kestrel
