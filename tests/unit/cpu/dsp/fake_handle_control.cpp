// Fake of the optional remote_handle_control.
#include "fake_fastrpc.h"

extern "C" int remote_handle_control(uint32_t req, void* data, uint32_t datalen) {
    auto& p = fake_fastrpc::platform();
    auto* cap = static_cast<remote_dsp_capability*>(data);
    p.control_calls.push_back({req, datalen, *cap});
    return p.capability ? p.capability(cap->domain, cap->attribute_ID, &cap->capability) : 0;
}
