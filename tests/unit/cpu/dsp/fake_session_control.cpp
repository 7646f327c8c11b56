// Fake remote_session_control (bound normally, so every test program has it) and the shared
// fake state.
#include <cstring>

#include "fake_fastrpc.h"

namespace fake_fastrpc {

Platform& platform() {
    static Platform p;
    return p;
}

void reset() {
    platform() = Platform{};
}

}  // namespace fake_fastrpc

extern "C" int remote_session_control(uint32_t req, void* data, uint32_t datalen) {
    auto& p = fake_fastrpc::platform();
    fake_fastrpc::SessionCall call{};
    call.req = req;
    call.datalen = datalen;
    if (req == FASTRPC_CONTROL_UNSIGNED_MODULE) {
        auto* payload = static_cast<remote_rpc_control_unsigned_module*>(data);
        call.domain = payload->domain;
        call.enable = payload->enable;
        p.session_calls.push_back(call);
        return p.unsigned_pd ? p.unsigned_pd(payload->domain) : 0;
    }
    if (req == FASTRPC_GET_EFFECTIVE_DOMAIN_ID) {
        auto* payload = static_cast<remote_rpc_effective_domain_id*>(data);
        call.name = std::string(payload->domain_name);
        call.name_len = payload->domain_name_len;
        call.session_id = payload->session_id;
        call.effective_in = payload->effective_domain_id;
        p.session_calls.push_back(call);
        return p.effective_id
                   ? p.effective_id(call.name, payload->session_id, &payload->effective_domain_id)
                   : 0;
    }
    p.session_calls.push_back(call);
    return -1;
}
