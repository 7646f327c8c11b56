// A recording fake of the FastRPC client library (libadsprpc.so) for the unit tests of the
// program (cpu/dsp) and of the stub library (stub/). One state object decides every answer and
// records every call; a test sets its fields and handlers and reads what was called.
//
// The fake is built from one source into variants that differ in which optional entry points
// exist (tests/unit/fakes/CMakeLists.txt); in a variant that lacks one, the weak declaration in
// fastrpc/fastrpc_client.h resolves to null, as with an older platform library.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fastrpc/fastrpc_client.h"

namespace fake_fastrpc {

// remote_handle64_invoke as the fake saw it.
struct InvokeCall {
    remote_handle64 handle = 0;
    uint32_t scalars = 0;
    bool args_null = true;
    const void* buffer = nullptr;  // the first argument's buffer
    size_t length = 0;
    std::vector<uint8_t> buffer_at_entry;  // that buffer as the caller handed it over
};

// remote_handle_control.
struct ControlCall {
    uint32_t req;
    uint32_t datalen;
    remote_dsp_capability cap;  // the record as passed in
};

// remote_session_control.
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

// remote_system_request.
struct SystemCall {
    system_req_payload req;  // the payload as passed in
};

// HAP_debug_runtime, with its format and the formatted text.
struct LogCall {
    int level = 0;
    std::string file;
    int line = 0;
    std::string format;
    std::string text;
};

// Every answer and every recorded call. A handler left empty gives the default answer.
struct Platform {
    // ---- Sessions ----
    // remote_handle64_open: open_result, and open_writes written through the handle pointer
    // when that is 0; or, when set, what `open` answers.
    int open_result = 0;
    remote_handle64 open_writes = 0;
    std::function<int(const char* name, remote_handle64* ph)> open;
    int open_calls = 0;
    const char* open_uri = nullptr;
    remote_handle64* open_handle_ptr = nullptr;

    // remote_handle64_close: close_result, or what `close` answers.
    int close_result = 0;
    std::function<int(remote_handle64)> close;
    int close_calls = 0;
    remote_handle64 close_handle = 0;

    // remote_handle64_invoke: `invoke` answers the whole call when set; otherwise `on_invoke`
    // fills the first buffer (null when there is no argument array) and gives the result;
    // without either the answer is 0.
    std::function<int(remote_handle64, uint32_t scalars, remote_arg*)> invoke;
    std::function<int(uint8_t* buffer, size_t length)> on_invoke;
    std::vector<InvokeCall> invokes;

    // ---- Domain queries (default answer 0, nothing written) ----
    // remote_handle_control: (domain, attribute, &capability value) -> result
    std::function<int(uint32_t, uint32_t, uint32_t*)> capability;
    // remote_session_control request 2: (domain) -> result
    std::function<int(uint32_t)> unsigned_pd;
    // remote_session_control request 14: (name, session, &effective id) -> result
    std::function<int(const std::string&, int32_t, uint32_t*)> effective_id;
    // remote_system_request: (payload) -> result
    std::function<int(system_req_payload*)> system_request;
    std::vector<ControlCall> control_calls;
    std::vector<SessionCall> session_calls;
    std::vector<SystemCall> system_calls;

    // ---- Logging of the application processor ----
    std::vector<LogCall> runtime_logs;
    int v2_calls = 0;  // HAP_debug_v2 is only counted
};

// The fake's state; reset() gives default answers and empty call lists.
Platform& platform();
void reset();

// A test that starts with the fake reset.
class Test : public testing::Test {
  protected:
    void SetUp() override { reset(); }
    static Platform& fake() { return platform(); }
};

}  // namespace fake_fastrpc
