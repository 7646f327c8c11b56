// A recording fake of the FastRPC functions the stub library calls, and of the two optional
// logging functions, for the stub's unit tests. Each test program links the fake FastRPC
// functions; the logging fakes are in separate units so that a program can leave either out.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fastrpc/fastrpc_client.h"

struct InvokeCall {
    remote_handle64 handle = 0;
    uint32_t scalars = 0;
    bool args_null = true;
    const void* buffer = nullptr;
    size_t length = 0;
    std::vector<uint8_t> buffer_at_entry;  // the output buffer as the stub handed it over
};

struct LogCall {
    int level = 0;
    std::string file;
    int line = 0;
    std::string format;
    std::string text;
};

struct FakeFastrpc {
    // open / close
    int open_calls = 0;
    const char* open_uri = nullptr;
    remote_handle64* open_handle_ptr = nullptr;
    remote_handle64 open_writes = 0;
    int open_result = 0;
    int close_calls = 0;
    remote_handle64 close_handle = 0;
    int close_result = 0;

    // invoke: records the call, then lets the test fill the output buffer and choose the result
    std::vector<InvokeCall> invokes;
    std::function<int(uint8_t* buffer, size_t length)> on_invoke;

    // logging
    std::vector<LogCall> runtime_logs;
    int v2_calls = 0;
};

extern FakeFastrpc g_fake;
