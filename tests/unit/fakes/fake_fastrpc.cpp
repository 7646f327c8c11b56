// The fake FastRPC client library. Each optional entry point is left out of the build by its
// switch, so that its weak declaration resolves to null in the test program:
//   FAKE_FASTRPC_WITHOUT_SYSTEM_REQUEST   remote_system_request
//   FAKE_FASTRPC_WITHOUT_HANDLE_CONTROL   remote_handle_control
//   FAKE_FASTRPC_WITHOUT_DEBUG_RUNTIME    HAP_debug_runtime
//   FAKE_FASTRPC_WITHOUT_DEBUG_V2         HAP_debug_v2
#include "fake_fastrpc.h"

#include <cstdarg>
#include <cstdio>

namespace fake_fastrpc {

Platform& platform() {
    static Platform p;
    return p;
}

void reset() {
    platform() = Platform{};
}

}  // namespace fake_fastrpc

using fake_fastrpc::platform;

// ---- Sessions ------------------------------------------------------------------------------

extern "C" int remote_handle64_open(const char* name, remote_handle64* ph) {
    auto& p = platform();
    ++p.open_calls;
    p.open_uri = name;
    p.open_handle_ptr = ph;
    if (p.open) {
        return p.open(name, ph);
    }
    if (p.open_result == 0) {
        *ph = p.open_writes;
    }
    return p.open_result;
}

extern "C" int remote_handle64_close(remote_handle64 h) {
    auto& p = platform();
    ++p.close_calls;
    p.close_handle = h;
    return p.close ? p.close(h) : p.close_result;
}

extern "C" int remote_handle64_invoke(remote_handle64 h, uint32_t scalars, remote_arg* pra) {
    auto& p = platform();
    fake_fastrpc::InvokeCall call;
    call.handle = h;
    call.scalars = scalars;
    call.args_null = pra == nullptr;
    uint8_t* buffer = nullptr;
    size_t length = 0;
    if (pra != nullptr && remote_scalars_in_bufs(scalars) + remote_scalars_out_bufs(scalars) > 0) {
        buffer = static_cast<uint8_t*>(pra[0].buf.pv);
        length = pra[0].buf.nLen;
        call.buffer = buffer;
        call.length = length;
        call.buffer_at_entry.assign(buffer, buffer + length);
    }
    p.invokes.push_back(call);
    if (p.invoke) {
        return p.invoke(h, scalars, pra);
    }
    return p.on_invoke ? p.on_invoke(buffer, length) : 0;
}

// ---- Domain queries ------------------------------------------------------------------------

extern "C" int remote_session_control(uint32_t req, void* data, uint32_t datalen) {
    auto& p = platform();
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

#ifndef FAKE_FASTRPC_WITHOUT_HANDLE_CONTROL
extern "C" int remote_handle_control(uint32_t req, void* data, uint32_t datalen) {
    auto& p = platform();
    auto* cap = static_cast<remote_dsp_capability*>(data);
    p.control_calls.push_back({req, datalen, *cap});
    return p.capability ? p.capability(cap->domain, cap->attribute_ID, &cap->capability) : 0;
}
#endif

#ifndef FAKE_FASTRPC_WITHOUT_SYSTEM_REQUEST
extern "C" int remote_system_request(system_req_payload* req) {
    auto& p = platform();
    p.system_calls.push_back({*req});
    return p.system_request ? p.system_request(req) : 0;
}
#endif

// ---- Logging -------------------------------------------------------------------------------

#ifndef FAKE_FASTRPC_WITHOUT_DEBUG_RUNTIME
extern "C" __attribute__((format(printf, 4, 5))) void HAP_debug_runtime(int level, const char* file,
                                                                        int line,
                                                                        const char* format, ...) {
    fake_fastrpc::LogCall call;
    call.level = level;
    call.file = file;
    call.line = line;
    call.format = format;
    char text[512];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    call.text = text;
    platform().runtime_logs.push_back(call);
}
#endif

#ifndef FAKE_FASTRPC_WITHOUT_DEBUG_V2
extern "C" __attribute__((format(printf, 4, 5))) void HAP_debug_v2(int, const char*, int,
                                                                   const char*, ...) {
    ++platform().v2_calls;
}
#endif
