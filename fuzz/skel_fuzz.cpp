// The dispatcher of libkestrel_skel.so, fed arbitrary invocations: method, scalars word,
// argument array, buffer lengths and contents, forged and real handles, against the fake DSP
// runtime (tests/unit/fakes) whose answers the input also decides. Built once per variant of
// the runtime, with and without its optional functions. Every argument array and buffer is a
// heap block of its exact size. After each call: input buffers are unchanged; a failed call
// left every output as it was; a refused call reached no runtime function; the fake heap holds
// exactly the contexts the library handed out. At the end every context is closed again and
// the heap must be empty.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

// The C library's declarations first: the DSP runtime's header declares memset and vsnprintf
// again, as the runtime provides them.
#include "fuzz_support.h"

#include "fake_hap.h"
#include "kestrel.h"
#include "kestrel_skel.h"

// The fake runtime's reset (tests/support/check.h).
extern "C" void check_case_setup(void);

namespace {

// The layout the dispatcher expects for each method.
const uint32_t kScalars[KESTREL_METHOD_COUNT] = KESTREL_SCALARS_BY_METHOD;

struct Buffer {
    uint8_t* data = nullptr;  // null for a buffer without memory
    size_t len = 0;
    std::vector<uint8_t> before;  // contents at the call
};

// One invocation as the input describes it.
struct Call {
    uint32_t scalars = 0;
    bool args_null = false;
    remote_arg* args = nullptr;
    std::vector<Buffer> buffers;  // in and out, in array order
    std::vector<uint64_t> handles_before;
    uint32_t elements = 0;
};

// The contexts the library handed out and has not been asked to close.
std::vector<uint64_t> live;

uint64_t pick_handle(fuzz::Reader& in) {
    const uint8_t how = in.u8();
    if ((how & 3) == 0 && !live.empty()) {
        return live[in.u8() % live.size()];
    }
    if ((how & 3) == 1 && !live.empty()) {
        // Near a real handle: inside its block, or the next one.
        const uint64_t base = live[in.u8() % live.size()];
        return base + (in.u8() % 16) - 4;
    }
    if ((how & 3) == 2) {
        return 0;
    }
    return in.u64();
}

void build(fuzz::Reader& in, Call& c) {
    const uint8_t shape = in.u8();
    const uint32_t method = shape & 7;  // 7 is past the last method
    if ((shape & 0x80) != 0) {
        c.scalars = in.u32();
    } else if (method < KESTREL_METHOD_COUNT) {
        c.scalars = kScalars[method];
    } else {
        c.scalars = remote_scalars_make(method + (in.u8() & 0x18), 0, 1, 0, 0);
    }
    if ((shape & 0x40) != 0) {
        // Another method's layout under this method's number.
        c.scalars = (c.scalars & 0xe0ffffffu) | ((in.u8() & 0x1fu) << 24);
    }
    c.args_null = (shape & 0x20) != 0;
    c.elements = remote_scalars_length(c.scalars);
    if (c.args_null) {
        return;
    }
    const uint32_t nbufs = remote_scalars_in_bufs(c.scalars) + remote_scalars_out_bufs(c.scalars);
    // Room for the elements the scalars count, and not one more (none at all for none).
    c.args = static_cast<remote_arg*>(std::malloc(sizeof(remote_arg) * c.elements));
    for (uint32_t i = 0; i < nbufs; ++i) {
        Buffer b;
        const uint8_t kind = in.u8();
        b.len = kind & 0x3f;
        if ((kind & 0x40) != 0) {
            b.len += in.u8();
        }
        if ((kind & 0x80) == 0 || b.len == 0) {
            b.data = static_cast<uint8_t*>(std::malloc(b.len == 0 ? 1 : b.len));
            std::memset(b.data, 0xa5, b.len);
            in.bytes(b.data, b.len);
            b.before.assign(b.data, b.data + b.len);
        }
        c.args[i].buf.pv = b.data;
        c.args[i].buf.nLen = b.len;
        c.buffers.push_back(b);
    }
    for (uint32_t i = nbufs; i < c.elements; ++i) {
        c.args[i].h64 = pick_handle(in);
        c.handles_before.push_back(c.args[i].h64);
    }
}

void release(Call& c) {
    for (Buffer& b : c.buffers) {
        std::free(b.data);
    }
    std::free(c.args);
}

// Sets the fake runtime's answers for the next call.
void answer(fuzz::Reader& in) {
    const uint8_t a = in.u8();
    fake_hap.malloc_fails = (a & 1) != 0;
    fake_hap.power_set_result = (a & 2) != 0 ? -1 : 0;
    fake_hap.power_get_result = (a & 4) != 0 ? 5 : 0;
    fake_hap.pmu_register_result = (a & 8) != 0 ? -1 : 0;
    fake_hap.pmu_read_result = (a & 16) != 0 ? -1 : 0;
    fake_hap.pmu_deregister_result = (a & 32) != 0 ? -1 : 0;
    if ((a & 64) != 0) {
        fake_hap.utimer = in.u64();
        fake_hap.upcycle = in.u64();
        fake_hap.clock_hz = in.u32();
        for (uint32_t& v : fake_hap.pmu_values) {
            v = in.u32();
        }
    }
}

// Bytes of a method's output buffer that a successful call writes.
bool written_on_success(uint32_t method, size_t at) {
    switch (method) {
        case KESTREL_METHOD_GET_LEGACY_PERF_VALUE:
            return at < KESTREL_LEGACY_PERF_SIZE;
        case KESTREL_METHOD_GET_GROUP_PMT_VALUE:
            return at < KESTREL_GROUP_PMT_SIZE && (at < 12 || at >= 16);
        case KESTREL_METHOD_GET_DSP_CURRENT_FREQ:
            return at < KESTREL_FREQ_SIZE;
        default:
            return false;
    }
}

void check_call(const Call& c, int result, int calls_before) {
    const uint32_t method = remote_scalars_method(c.scalars);
    FUZZ_CHECK(result == 0 || result == -1 || result == KESTREL_ERROR_BAD_PARAMETER ||
               result == KESTREL_ERROR_UNSUPPORTED);
    if (result == KESTREL_ERROR_BAD_PARAMETER || result == KESTREL_ERROR_UNSUPPORTED) {
        FUZZ_CHECK(fake_hap.calls == calls_before);
    }
    if (c.args_null) {
        return;
    }
    const uint32_t nin = remote_scalars_in_bufs(c.scalars);
    for (size_t i = 0; i < c.buffers.size(); ++i) {
        const Buffer& b = c.buffers[i];
        FUZZ_CHECK(c.args[i].buf.pv == b.data && c.args[i].buf.nLen == b.len);
        for (size_t k = 0; b.data != nullptr && k < b.len; ++k) {
            const bool may_change = i >= nin && result == 0 && written_on_success(method, k);
            FUZZ_CHECK(may_change || b.data[k] == b.before[k]);
        }
    }
    const size_t nbufs = c.buffers.size();
    for (size_t i = 0; i < c.handles_before.size(); ++i) {
        // Only a successful open writes a handle element: its output handle.
        const bool may_change = result == 0 && method == KESTREL_METHOD_OPEN;
        FUZZ_CHECK(may_change || c.args[nbufs + i].h64 == c.handles_before[i]);
    }
}

void track(const Call& c, int result) {
    if (result != 0 || c.args_null) {
        return;
    }
    const uint32_t method = remote_scalars_method(c.scalars);
    if (method == KESTREL_METHOD_OPEN) {
        const uint64_t h = c.args[c.buffers.size()].h64;
        FUZZ_CHECK(h != 0 && fake_heap_is_live(reinterpret_cast<void*>(h)));
        live.push_back(h);
    } else if (method == KESTREL_METHOD_CLOSE && c.handles_before[0] != 0) {
        bool found = false;
        for (size_t i = 0; i < live.size() && !found; ++i) {
            if (live[i] == c.handles_before[0]) {
                live.erase(live.begin() + static_cast<long>(i));
                found = true;
            }
        }
        // Only a handle the library handed out closes.
        FUZZ_CHECK(found);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Reader in(data, size);
    check_case_setup();
    live.clear();
    for (int n = 0; n < 64 && !in.empty(); ++n) {
        answer(in);
        Call c;
        build(in, c);
        const int calls_before = fake_hap.calls;
        const int result =
            kestrel_skel_handle_invoke(in.u64(), c.scalars, c.args_null ? nullptr : c.args);
        check_call(c, result, calls_before);
        track(c, result);
        FUZZ_CHECK(fake_hap.live_blocks == static_cast<int>(live.size()));
        FUZZ_CHECK(fake_hap.free_invalid == 0);
        release(c);
    }
    // Close every context, as a session's end does; the heap is empty afterwards.
    fake_hap.malloc_fails = 0;
    for (const uint64_t h : live) {
        remote_arg arg;
        arg.h64 = h;
        FUZZ_CHECK(kestrel_skel_handle_invoke(0, KESTREL_SCALARS_CLOSE, &arg) == 0);
    }
    live.clear();
    FUZZ_CHECK(fake_hap.live_blocks == 0);
    FUZZ_CHECK(fake_hap.free_invalid == 0);
    return 0;
}
