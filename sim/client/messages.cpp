#include "messages.h"

#include <cstring>

namespace kestrel_sim {
namespace {

// Measures the message that `put` writes, then writes it into `frame`, resized to fit (its
// storage is reused when large enough). False when `put` fails or the payload is longer than
// SIM_MAX_PAYLOAD.
template <typename Put>
bool build_into(uint32_t type, Put put, Frame* frame) {
    sim_out count = sim_writer(nullptr, 0);
    sim_frame_begin(&count, type);
    if (put(&count) != 0 || count.len - SIM_FRAME_HEADER_BYTES > SIM_MAX_PAYLOAD)
        return false;
    frame->resize(count.len);
    sim_out out = sim_writer(frame->data(), static_cast<uint32_t>(frame->size()));
    sim_frame_begin(&out, type);
    put(&out);
    sim_frame_end(&out);
    return true;
}

template <typename Put>
std::optional<Frame> build(uint32_t type, Put put) {
    Frame frame;
    if (!build_into(type, put, &frame))
        return std::nullopt;
    return frame;
}

sim_in reader(const std::vector<uint8_t>& payload) {
    return sim_reader(payload.data(), static_cast<uint32_t>(payload.size()));
}

}  // namespace

Frame config_frame(const Domain& d, uint32_t flags, const std::vector<sim_fault>& faults) {
    sim_config c{};
    c.flags = flags;
    c.clock_hz = d.clock_hz;
    c.upcycle_start = d.upcycle_start;
    for (int i = 0; i < 3; ++i)
        c.pmu_start[i] = d.pmu_start[i];
    c.max_pmu_groups = d.max_pmu_groups;
    c.core_load = d.load.core;
    c.pcpp = d.load.pcpp;
    c.hvx_util = d.load.hvx;
    c.hmx_util = d.load.hmx;
    c.heap_bytes = d.heap_bytes;
    c.n_faults = static_cast<uint32_t>(faults.size());
    c.n_utimer = static_cast<uint32_t>(d.script.utimer.size());
    c.n_upcycle = static_cast<uint32_t>(d.script.upcycle.size());
    c.n_pmu = static_cast<uint32_t>(d.script.pmu.size());
    c.n_clock = static_cast<uint32_t>(d.script.clock_hz.size());
    std::strncpy(c.domain, d.name.c_str(), sizeof c.domain - 1);
    std::vector<uint32_t> pmu;
    for (const auto& triple : d.script.pmu)
        pmu.insert(pmu.end(), triple.begin(), triple.end());
    std::vector<sim_load_step> steps;
    for (const auto& st : d.load.steps)
        steps.push_back({st.at_ms, 0, st.core, st.hvx, st.hmx});
    c.n_steps = static_cast<uint32_t>(steps.size());
    c.period_ms = d.load.period_ms;
    const sim_config_lists lists{faults.data(), d.script.utimer.data(),   d.script.upcycle.data(),
                                 pmu.data(),    d.script.clock_hz.data(), steps.data()};
    // Far below SIM_MAX_PAYLOAD even with longer lists than a board may have.
    return *build(SIM_MSG_CONFIG, [&](sim_out* o) {
        sim_config_put(o, &c, &lists);
        return 0;
    });
}

std::optional<Frame> open_frame(const std::string& path, const std::string& entry,
                                const std::string& uri) {
    return build(SIM_MSG_OPEN, [&](sim_out* o) {
        sim_open_req_put(o, path.c_str(), entry.c_str(), uri.c_str());
        return 0;
    });
}

std::optional<Frame> invoke_frame(const sim_invoke_req& q, const remote_arg* args) {
    Frame frame;
    if (!invoke_frame(q, args, &frame))
        return std::nullopt;
    return frame;
}

bool invoke_frame(const sim_invoke_req& q, const remote_arg* args, Frame* frame) {
    return build_into(
        SIM_MSG_INVOKE, [&](sim_out* o) { return sim_invoke_req_put(o, &q, args); }, frame);
}

Frame status_frame() {
    return *build(SIM_MSG_STATUS, [](sim_out*) { return 0; });
}

bool read_reply(const std::vector<uint8_t>& reply, sim_open_reply* r) {
    sim_in in = reader(reply);
    return sim_open_reply_get(&in, r) == 0;
}

bool read_reply(const std::vector<uint8_t>& reply, sim_status_reply* s) {
    sim_in in = reader(reply);
    return sim_status_reply_get(&in, s) == 0;
}

int32_t read_invoke_reply(const std::vector<uint8_t>& reply, uint32_t scalars, remote_arg* args) {
    sim_in in = reader(reply);
    return sim_invoke_reply_get(&in, scalars, args);
}

}  // namespace kestrel_sim
