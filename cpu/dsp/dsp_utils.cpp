// DSP domain queries through the FastRPC client library and the collection of the domain array.
#include "cpu/dsp_utils.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "cpu/soc_rules.h"
#include "cpu/socinfo.h"

namespace vorlix::kestrel {

namespace {

constexpr std::size_t kNameField = sizeof(fastrpc_domain::name);

// True when an entry point of the platform library is bound. Optional entry points are weak
// references whose address is null when the library lacks them.
template <typename Fn>
bool is_bound(Fn* fn) {
    return fn != nullptr;
}

// The platform's way of saying that it does not implement a capability request: the low byte
// of the result is 108, whatever the other bits hold.
bool is_unsupported_api(int result) {
    return (static_cast<uint32_t>(result) & 0xffu) == FASTRPC_UNSUPPORTED_API;
}

// Asks the platform for one capability attribute of a domain; the value is 0 unless written.
int query_capability(uint32_t domain, uint32_t attribute, uint32_t* value) {
    remote_dsp_capability cap{domain, attribute, 0};
    int result = remote_handle_control(DSPRPC_GET_DSP_INFO, &cap, sizeof(cap));
    *value = cap.capability;
    return result;
}

// Whether the SoC's rules allow the VTCM and architecture queries: 1 when they do, 0 when they
// do not, -1 when the SoC id cannot be read (already reported). `known` is the id the caller read
// for its whole run; null reads it afresh for this query.
int capability_queries_allowed(const int* known) {
    const int soc = known != nullptr ? *known : get_cur_device_socid();
    if (soc < 0) {
        std::printf("[ERROR] [KESTREL] get_cur_device_socid failure.\n");
        return -1;
    }
    return soc_rule(static_cast<uint32_t>(soc)).capability_queries ? 1 : 0;
}

float vtcm_size_mb(int domain, const int* known_soc) {
    if (capability_queries_allowed(known_soc) != 1) {
        return -1.0f;
    }
    if (!is_bound(remote_handle_control)) {
        std::printf(
            "[ERROR] [KESTREL] remote_dsp_capability interface is not supported on this device\n");
        return -1.0f;
    }
    uint32_t bytes = 0;
    int result = query_capability(static_cast<uint32_t>(domain), VTCM_PAGE, &bytes);
    if (is_unsupported_api(result)) {
        std::printf("[ERROR] [KESTREL] FastRPC Capability API is not supported on this device\n");
        return -1.0f;
    }
    if (result != 0) {
        std::printf("[ERROR] [KESTREL] get_vtcm_info failed with Error 0x%x\n",
                    static_cast<unsigned>(result));
        return -1.0f;
    }
    return static_cast<float>(bytes) / 1048576.0f;
}

int hex_arch_ver(int domain, unsigned int* arch, const int* known_soc) {
    const int allowed = capability_queries_allowed(known_soc);
    if (allowed < 0) {
        return -1;
    }
    if (allowed == 0) {
        return 0;
    }
    *arch = 0;
    if (!is_bound(remote_handle_control)) {
        std::printf(
            "[ERROR] [KESTREL] remote_dsp_capability interface is not supported on this device\n");
        return -1;
    }
    uint32_t value = 0;
    int result = query_capability(static_cast<uint32_t>(domain), ARCH_VER, &value);
    if (is_unsupported_api(result)) {
        std::printf(
            "[ERROR] [KESTREL] FastRPC Capability API is not supported on this device, error code "
            "= %x",
            static_cast<unsigned>(result));
        return -1;
    }
    if (result != 0) {
        std::printf("[ERROR] [KESTREL] get_hex_arch_ver failed with Error 0x%x\n",
                    static_cast<unsigned>(result));
        return -1;
    }
    *arch = value & 0xffu;
    return 0;
}

// Whether a CDSP domain exists, on libraries without the domain list.
bool cdsp_present(uint32_t domain) {
    uint32_t value = 0;
    int result = query_capability(domain, DOMAIN_SUPPORT, &value);
    if (is_unsupported_api(result)) {
        std::printf("[ERROR] [KESTREL] FastRPC Capability API is not supported on this device\n");
    } else if (result != 0) {
        std::printf("[ERROR] [KESTREL] get_dsp_support failed with Error 0x%x\n",
                    static_cast<unsigned>(result));
    }
    if (result == 0 && value != 0) {
        return true;
    }
    return DspUtils::check_unsignedpd_supported(static_cast<int>(domain));
}

// A core described by the monitor itself when the library has no domain list.
DspInfoItem make_cdsp_item(uint32_t domain, const char* name, const int* known_soc) {
    DspInfoItem item;
    memset(&item, 0, sizeof(item));
    item.domain_info.id = domain;
    strncpy(item.domain_info.name, name, kNameField - 1);
    item.domain_info.type = FASTRPC_NSP;
    item.domain_info.status = 1;
    item.domain_info.card = 0;
    item.effect_id = static_cast<int32_t>(domain);
    item.vtcm_size_mb = vtcm_size_mb(static_cast<int>(domain), known_soc);
    item.hex_arch_ver = 0;
    hex_arch_ver(static_cast<int>(domain), &item.hex_arch_ver, known_soc);
    return item;
}

int collect_by_system_request(DspDomainArray& domains, const int* known_soc) {
    system_req_payload req;
    memset(&req, 0, sizeof(req));
    req.id = FASTRPC_GET_DOMAINS;
    req.domains = nullptr;
    req.max_domains = 0;
    req.domain_type = FASTRPC_NSP;
    int result = remote_system_request(&req);
    if (result != 0) {
        std::printf(
            "[ERROR] [KESTREL] remote_system_request: query domain num failure, error code = %x",
            static_cast<unsigned>(result));
        return -1;
    }
    const int32_t count = req.num_domains;
    if (count < 0 || count > kMaxPlatformDomains) {
        std::printf("[ERROR] [KESTREL] remote_system_request: invalid domain count %d\n", count);
        return -1;
    }
    // At least one record, so that a count of 0 does not turn into a failed allocation.
    const std::size_t capacity = static_cast<std::size_t>(count);
    std::unique_ptr<fastrpc_domain, decltype(&free)> records(
        static_cast<fastrpc_domain*>(
            calloc(std::max<std::size_t>(capacity, 1), sizeof(fastrpc_domain))),
        &free);
    if (!records) {
        std::printf("[ERROR] [KESTREL] Unable to allocate memory for req.sys.domains");
        return -1;
    }
    req.domains = records.get();
    req.max_domains = static_cast<uint32_t>(capacity);
    result = remote_system_request(&req);
    if (result != 0) {
        std::printf(
            "[ERROR] [KESTREL] remote_system_request: query domain prop failure, error code = %x",
            static_cast<unsigned>(result));
        return -1;
    }
    // Never more records than the buffer holds, whatever the second answer claims.
    const std::size_t reported =
        req.num_domains < 0 ? 0 : static_cast<std::size_t>(req.num_domains);
    const std::size_t n = std::min(reported, capacity);

    DspInfoGroup group;
    for (std::size_t i = 0; i < n; ++i) {
        const fastrpc_domain& record = records.get()[i];
        DspInfoItem item;
        memset(&item, 0, sizeof(item));
        item.effect_id = -1;
        item.vtcm_size_mb = -1.0f;
        item.hex_arch_ver = 0;
        // A NUL-terminated copy of the name: the platform's field may lack the NUL.
        std::string name = domain_name_of(record);
        item.effect_id = DspUtils::get_effective_domain_id(name.data(), 0);
        memcpy(&item.domain_info, &record, sizeof(record));
        item.vtcm_size_mb = vtcm_size_mb(item.effect_id, known_soc);
        hex_arch_ver(item.effect_id, &item.hex_arch_ver, known_soc);
        group.push_back(item);
    }
    domains.push_back(group);
    return 0;
}

int collect_by_capability(DspDomainArray& domains, const int* known_soc) {
    if (!is_bound(remote_handle_control)) {
        std::printf(
            "[ERROR] [KESTREL] can't get dsp_info, not support api "
            "remote_system_request/remote_handle_control");
        return -1;
    }
    int count = cdsp_present(CDSP_DOMAIN_ID) ? 1 : 0;
    count += cdsp_present(CDSP1_DOMAIN_ID) ? 1 : 0;
    if (count == 0) {
        std::printf("The device doesn't have cdsp.\n");
        return 0;
    }
    // With one CDSP found the group describes domain 3, whichever domain answered.
    domains.push_back(DspInfoGroup{make_cdsp_item(CDSP_DOMAIN_ID, "cdsp", known_soc)});
    if (count == 2) {
        domains.push_back(DspInfoGroup{make_cdsp_item(CDSP1_DOMAIN_ID, "cdsp1", known_soc)});
    }
    return 0;
}

// The domain list when the library offers it, else the CDSPs found by capability queries.
int collect_domain_array(DspDomainArray& domains, const int* known_soc) {
    if (is_bound(remote_system_request)) {
        return collect_by_system_request(domains, known_soc);
    }
    return collect_by_capability(domains, known_soc);
}

}  // namespace

int DspUtils::try_enable_unsigned_pd(int domain) {
    int result = 0;
    return try_enable_unsigned_pd(domain, &result);
}

int DspUtils::try_enable_unsigned_pd(int domain, int* result_out) {
    *result_out = 0;
    if (!is_bound(remote_session_control)) {
        std::printf(
            "[ERROR] [KESTREL] ERROR 0x%x: remote_session_control interface is not supported on "
            "this device\n",
            0u);
        return -1;
    }
    remote_rpc_control_unsigned_module data{static_cast<uint32_t>(domain), 1};
    int result = remote_session_control(FASTRPC_CONTROL_UNSIGNED_MODULE, &data, sizeof(data));
    *result_out = result;
    if (result != 0) {
        std::printf("[ERROR] [KESTREL] ERROR 0x%x: remote_session_control failed\n",
                    static_cast<unsigned>(result));
        return -1;
    }
    return 0;
}

bool DspUtils::check_unsignedpd_supported(int domain) {
    if (!is_bound(remote_handle_control)) {
        std::printf(
            "[ERROR] [KESTREL] remote_dsp_capability interface is not supported on this device. "
            "Falling back to signed pd.\n");
        return false;
    }
    uint32_t value = 0;
    int result = query_capability(static_cast<uint32_t>(domain), UNSIGNED_PD_SUPPORT, &value);
    if (is_unsupported_api(result)) {
        std::printf(
            "[ERROR] [KESTREL] FastRPC Capability API is not supported on this device. Falling "
            "back to signed pd.\n");
        return false;
    }
    if (result != 0) {
        std::printf(
            "[ERROR] [KESTREL] ERROR 0x%x: FastRPC Capability API failed. Falling back to signed "
            "pd.",
            static_cast<unsigned>(result));
        return false;
    }
    return value == 1;
}

int DspUtils::get_effective_domain_id(char* domain_name, int session_id) {
    remote_rpc_effective_domain_id data;
    memset(&data, 0, sizeof(data));
    data.domain_name = domain_name;
    data.domain_name_len = static_cast<uint32_t>(strlen(domain_name));
    data.session_id = session_id;
    data.effective_domain_id = 0;
    int result = remote_session_control(FASTRPC_GET_EFFECTIVE_DOMAIN_ID, &data, sizeof(data));
    if (result != 0) {
        std::printf(
            "[ERROR] [KESTREL] Error 0x%x: failed to get effective domain id for %s, session id "
            "%d\n",
            static_cast<unsigned>(result), domain_name, session_id);
        return -1;
    }
    return static_cast<int>(data.effective_domain_id);
}

float DspUtils::get_vtcm_size_mb(int domain) {
    return vtcm_size_mb(domain, nullptr);
}

int DspUtils::get_hex_arch_ver(int domain, unsigned int* arch) {
    return hex_arch_ver(domain, arch, nullptr);
}

const char* DspUtils::fastrpc_domain_type_to_string(int type) {
    switch (type) {
        case FASTRPC_ALL_DOMAINS:
            return "FASTRPC_ALL_DOMAINS";
        case FASTRPC_NSP:
            return "FASTRPC_NSP";
        case FASTRPC_LPASS:
            return "FASTRPC_LPASS";
        case FASTRPC_SDSP:
            return "FASTRPC_SDSP";
        case FASTRPC_MDSP:
            return "FASTRPC_MDSP";
        case FASTRPC_HPASS:
            return "FASTRPC_HPASS";
        default:
            return "FASTRPC_UNKNOWN";
    }
}

int DspUtils::fastrpc_get_dsp_domain_array(DspDomainArray& domains) {
    return collect_domain_array(domains, nullptr);
}

int DspUtils::fastrpc_get_dsp_domain_array(DspDomainArray& domains, int socid) {
    return collect_domain_array(domains, &socid);
}

}  // namespace vorlix::kestrel
