// Test doubles of the FastRPC client library's entry points. Each fake is in its own source so
// that a test program can leave the optional ones out, as an older platform library would.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fastrpc/fastrpc_client.h"

namespace fake_fastrpc {

// One call as the fake saw it.
struct ControlCall {
    uint32_t req;
    uint32_t datalen;
    remote_dsp_capability cap;  // the record as passed in (request 2)
};

struct SessionCall {
    uint32_t req;
    uint32_t datalen;
    // Request 2.
    uint32_t domain;
    uint32_t enable;
    // Request 14.
    std::string name;
    uint32_t name_len;
    int32_t session_id;
    uint32_t effective_in;
};

struct SystemCall {
    system_req_payload req;  // the payload as passed in
};

// Handlers that decide each answer; the default handlers answer 0 and write nothing.
struct Platform {
    // (domain, attribute, &capability value) -> result
    std::function<int(uint32_t, uint32_t, uint32_t*)> capability;
    // (domain) -> result of request 2
    std::function<int(uint32_t)> unsigned_pd;
    // (name, session, &effective id) -> result of request 14
    std::function<int(const std::string&, int32_t, uint32_t*)> effective_id;
    // (payload) -> result
    std::function<int(system_req_payload*)> system_request;

    std::vector<ControlCall> control_calls;
    std::vector<SessionCall> session_calls;
    std::vector<SystemCall> system_calls;
};

// The fakes' state; reset() gives default handlers and empty call lists.
Platform& platform();
void reset();

}  // namespace fake_fastrpc
