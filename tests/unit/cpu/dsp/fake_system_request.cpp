// Fake of the optional remote_system_request.
#include "fake_fastrpc.h"

extern "C" int remote_system_request(system_req_payload* req) {
    auto& p = fake_fastrpc::platform();
    p.system_calls.push_back({*req});
    return p.system_request ? p.system_request(req) : 0;
}
