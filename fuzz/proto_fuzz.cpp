// The decoders of the DSP link's messages on both ends, fed arbitrary payloads. The first byte
// picks the message; the rest is its payload, in a heap block of its exact size. DSP side (as
// sim/dsp_host uses them): the configuration, the open request, the invocation with its
// arguments laid out into a reply. Application side (as sim/client uses them): the open, status
// and invocation replies. What a decoder accepts must lie inside the message, and what it
// decodes must encode back to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "messages.h"
#include "sim_proto.h"

namespace {

// The DSP host's largest argument array: every count of the scalars word at its maximum.
constexpr uint32_t kMaxArgs = 255 + 255 + 15 + 15;

bool inside(const void* p, size_t n, const uint8_t* buf, size_t len) {
    const auto* b = static_cast<const uint8_t*>(p);
    return b >= buf && n <= len && b - buf <= static_cast<ptrdiff_t>(len - n);
}

void config(const uint8_t* msg, uint32_t len) {
    std::vector<sim_fault> faults(SIM_MAX_DSP_FAULTS);
    std::vector<uint64_t> utimer(SIM_MAX_SCRIPT);
    std::vector<uint64_t> upcycle(SIM_MAX_SCRIPT);
    std::vector<uint32_t> pmu(3 * SIM_MAX_SCRIPT);
    std::vector<uint32_t> clock(SIM_MAX_SCRIPT);
    std::vector<sim_load_step> steps(SIM_MAX_LOAD_STEPS);
    sim_config c;
    sim_in in = sim_reader(msg, len);
    const sim_config_arrays arrays{faults.data(), utimer.data(), upcycle.data(),
                                   pmu.data(),    clock.data(),  steps.data()};
    if (sim_config_get(&in, &c, &arrays) != 0) {
        return;
    }
    FUZZ_CHECK(c.n_faults <= SIM_MAX_DSP_FAULTS && c.n_utimer <= SIM_MAX_SCRIPT &&
               c.n_upcycle <= SIM_MAX_SCRIPT && c.n_pmu <= SIM_MAX_SCRIPT &&
               c.n_clock <= SIM_MAX_SCRIPT && c.n_steps <= SIM_MAX_LOAD_STEPS);
    // Steps that the load model can follow: the first at 0, in order, inside the period.
    for (uint32_t i = 0; i < c.n_steps; ++i) {
        FUZZ_CHECK(i == 0 ? steps[i].at_ms == 0 : steps[i].at_ms > steps[i - 1].at_ms);
        FUZZ_CHECK(steps[i].at_ms < c.period_ms);
    }
    // What was read encodes back to the bytes it was read from.
    const sim_config_lists lists{faults.data(), utimer.data(), upcycle.data(),
                                 pmu.data(),    clock.data(),  steps.data()};
    std::vector<uint8_t> again(in.off);
    sim_out out = sim_writer(again.data(), in.off);
    sim_config_put(&out, &c, &lists);
    FUZZ_CHECK(out.len == in.off && std::memcmp(again.data(), msg, in.off) == 0);
}

void open_request(const uint8_t* msg, uint32_t len) {
    sim_open_req q;
    sim_in in = sim_reader(msg, len);
    if (sim_open_req_get(&in, &q) != 0) {
        return;
    }
    for (const char* s : {q.path, q.entry, q.uri}) {
        FUZZ_CHECK(s != nullptr && inside(s, 1, msg, len));
        FUZZ_CHECK(
            std::memchr(s, 0, len - static_cast<size_t>(s - reinterpret_cast<const char*>(msg))) !=
            nullptr);
    }
    FUZZ_CHECK(q.uri_len != 0 && inside(q.uri, q.uri_len, msg, len) && q.uri[q.uri_len - 1] == 0);
}

// An invocation as the DSP host takes it, answered with the result the input's first word
// gives, and that reply read back by the application side.
void invoke(const uint8_t* msg, uint32_t len, uint32_t reply_cap) {
    sim_invoke_req q;
    sim_in in = sim_reader(msg, len);
    if (sim_invoke_req_get(&in, &q) != 0) {
        return;
    }
    auto* args = static_cast<remote_arg*>(std::malloc(sizeof(remote_arg) * kMaxArgs));
    std::vector<uint8_t> reply_block(reply_cap);
    sim_out reply = sim_writer(reply_block.data(), reply_cap);
    sim_invoke_reply_begin(&reply);
    if (sim_invoke_args_get(&in, q.scalars, args, &reply) == 0) {
        const uint32_t nin = remote_scalars_in_bufs(q.scalars);
        const uint32_t nbufs = nin + remote_scalars_out_bufs(q.scalars);
        const uint32_t nh =
            remote_scalars_in_handles(q.scalars) + remote_scalars_out_handles(q.scalars);
        FUZZ_CHECK(sim_out_fits(&reply));
        for (uint32_t i = 0; i < nbufs; ++i) {
            const remote_buf& b = args[i].buf;
            if (i < nin) {
                FUZZ_CHECK(inside(b.pv, b.nLen, msg, len));
            } else {
                FUZZ_CHECK(inside(b.pv, b.nLen, reply_block.data(), reply.len));
            }
        }
        // The skeleton's answer: its result and, on success, new bytes in the outputs and
        // new output handles.
        const auto result = static_cast<int32_t>(q.handle & 1 ? q.flags : 0);
        std::vector<std::vector<uint8_t>> outputs;
        for (uint32_t i = nin; i < nbufs; ++i) {
            auto* p = static_cast<uint8_t*>(args[i].buf.pv);
            for (size_t k = 0; k < args[i].buf.nLen; ++k) {
                p[k] = static_cast<uint8_t>(p[k] * 7 + k);
            }
            outputs.emplace_back(p, p + args[i].buf.nLen);
        }
        for (uint32_t i = nbufs + remote_scalars_in_handles(q.scalars); i < nbufs + nh; ++i) {
            args[i].h64 = q.handle + i;
        }
        sim_invoke_reply_end(&reply, result, q.scalars, args);
        if (sim_out_fits(&reply)) {
            // The application side's caller: output buffers of the same lengths, with other
            // contents, each its own exact block.
            auto* caller = static_cast<remote_arg*>(std::malloc(sizeof(remote_arg) * kMaxArgs));
            std::vector<uint8_t*> blocks;
            for (uint32_t i = nin; i < nbufs; ++i) {
                blocks.push_back(static_cast<uint8_t*>(std::malloc(args[i].buf.nLen)));
                std::memset(blocks.back(), 0x5a, args[i].buf.nLen);
                caller[i].buf.pv = blocks.back();
                caller[i].buf.nLen = args[i].buf.nLen;
            }
            const std::vector<uint8_t> payload(reply_block.begin() + SIM_FRAME_HEADER_BYTES,
                                               reply_block.begin() + reply.len);
            const int32_t got = kestrel_sim::read_invoke_reply(payload, q.scalars, caller);
            FUZZ_CHECK(got == result);
            for (uint32_t i = nin; i < nbufs; ++i) {
                const auto* p = static_cast<const uint8_t*>(caller[i].buf.pv);
                for (size_t k = 0; k < caller[i].buf.nLen; ++k) {
                    FUZZ_CHECK(p[k] == (result == 0 ? outputs[i - nin][k] : 0x5a));
                }
            }
            for (uint32_t i = nbufs + remote_scalars_in_handles(q.scalars);
                 result == 0 && i < nbufs + nh; ++i) {
                FUZZ_CHECK(caller[i].h64 == q.handle + i);
            }
            for (uint8_t* b : blocks) {
                std::free(b);
            }
            std::free(caller);
        }
    }
    std::free(args);
}

// Replies as the application side reads them.
void replies(const uint8_t* msg, uint32_t len, fuzz::Reader& shape) {
    const std::vector<uint8_t> payload(msg, msg + len);
    sim_open_reply open;
    if (kestrel_sim::read_reply(payload, &open)) {
        FUZZ_CHECK(len >= SIM_OPEN_REPLY_BYTES);
    }
    sim_status_reply status;
    if (kestrel_sim::read_reply(payload, &status)) {
        FUZZ_CHECK(len >= SIM_STATUS_REPLY_BYTES);
    }
    // The caller's argument array, its output buffers as the shape bytes say.
    // One read per statement: the order of a call's arguments is the compiler's choice, and
    // an input must mean the same to every build that replays it.
    const uint32_t in_bufs = shape.u8() % 4;
    const uint32_t out_bufs = shape.u8() % 4;
    const uint32_t in_handles = shape.u8() % 3;
    const uint32_t out_handles = shape.u8() % 3;
    const uint32_t scalars = remote_scalars_make(0, in_bufs, out_bufs, in_handles, out_handles);
    const uint32_t n = remote_scalars_length(scalars);
    const uint32_t nin = remote_scalars_in_bufs(scalars);
    const uint32_t nbufs = nin + remote_scalars_out_bufs(scalars);
    auto* args = static_cast<remote_arg*>(std::malloc(sizeof(remote_arg) * n));
    for (uint32_t i = 0; i < n; ++i) {
        if (i < nbufs) {
            args[i].buf.nLen = shape.u8() % 40;
            args[i].buf.pv = std::malloc(args[i].buf.nLen);
            std::memset(args[i].buf.pv, 0x5a, args[i].buf.nLen);
        } else {
            args[i].h64 = 0x1234;
        }
    }
    const int32_t result = kestrel_sim::read_invoke_reply(payload, scalars, args);
    if (result != 0) {
        // A failed or malformed reply changes nothing of the caller's.
        for (uint32_t i = nin; i < nbufs; ++i) {
            const auto* p = static_cast<const uint8_t*>(args[i].buf.pv);
            for (size_t k = 0; k < args[i].buf.nLen; ++k) {
                FUZZ_CHECK(p[k] == 0x5a);
            }
        }
        for (uint32_t i = nbufs + remote_scalars_in_handles(scalars); i < n; ++i) {
            FUZZ_CHECK(args[i].h64 == 0x1234);
        }
    }
    for (uint32_t i = 0; i < nbufs; ++i) {
        std::free(args[i].buf.pv);
    }
    std::free(args);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Reader head(data, size);
    const uint8_t kind = head.u8();
    // The reply's room (invocations) or the caller's shape (replies) comes next.
    uint8_t shape_bytes[6] = {0, 0, 0, 0, 0, 0};
    head.bytes(shape_bytes, sizeof shape_bytes);
    const size_t len = head.left();
    auto* msg = static_cast<uint8_t*>(std::malloc(len == 0 ? 1 : len));
    head.bytes(msg, len);
    const auto n = static_cast<uint32_t>(len);
    switch (kind % 4) {
        case 0:
            config(msg, n);
            break;
        case 1:
            open_request(msg, n);
            break;
        case 2:
            invoke(msg, n,
                   SIM_FRAME_HEADER_BYTES + SIM_INVOKE_REPLY_BYTES +
                       (static_cast<uint32_t>(shape_bytes[0]) | (shape_bytes[1] & 0x0fu) << 8));
            break;
        default: {
            fuzz::Reader shape(shape_bytes, sizeof shape_bytes);
            replies(msg, n, shape);
            break;
        }
    }
    std::free(msg);
    return 0;
}
