#include "fake_fastrpc.h"

FakeFastrpc g_fake;

extern "C" void check_case_setup(void) {
    g_fake = FakeFastrpc{};
}

extern "C" int remote_handle64_open(const char* name, remote_handle64* ph) {
    ++g_fake.open_calls;
    g_fake.open_uri = name;
    g_fake.open_handle_ptr = ph;
    if (g_fake.open_result == 0) {
        *ph = g_fake.open_writes;
    }
    return g_fake.open_result;
}

extern "C" int remote_handle64_close(remote_handle64 h) {
    ++g_fake.close_calls;
    g_fake.close_handle = h;
    return g_fake.close_result;
}

extern "C" int remote_handle64_invoke(remote_handle64 h, uint32_t scalars, remote_arg* pra) {
    InvokeCall call;
    call.handle = h;
    call.scalars = scalars;
    call.args_null = pra == nullptr;
    uint8_t* buffer = nullptr;
    size_t length = 0;
    if (pra != nullptr) {
        buffer = static_cast<uint8_t*>(pra[0].buf.pv);
        length = pra[0].buf.nLen;
        call.buffer = buffer;
        call.length = length;
        call.buffer_at_entry.assign(buffer, buffer + length);
    }
    g_fake.invokes.push_back(call);
    return g_fake.on_invoke ? g_fake.on_invoke(buffer, length) : 0;
}
