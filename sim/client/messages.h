// The application side's messages to a simulated DSP (sim_proto.h), each built whole: header
// and payload in one buffer, which the link sends with one write. The bytes are written by the
// encoders of sim_proto.c, whose decoders the DSP host uses; the tests drive DSP hosts with
// these same frames.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "board.h"
#include "fastrpc/remote_types.h"
#include "sim_proto.h"

namespace kestrel_sim {

using Frame = std::vector<uint8_t>;

// The configuration of the DSP of domain `d`: its clock, load model, counters, heap and
// scripts, with the flags (SIM_CFG_*) and DSP-side faults given.
Frame config_frame(const Domain& d, uint32_t flags, const std::vector<sim_fault>& faults);
// Opening the entry point `entry` of the library at `path` for `uri`; nothing when the request
// is longer than SIM_MAX_PAYLOAD.
std::optional<Frame> open_frame(const std::string& path, const std::string& entry,
                                const std::string& uri);
// An invocation with the buffers and handles of `args`; nothing when they cannot travel (a
// buffer without memory, or more than SIM_MAX_PAYLOAD in all).
std::optional<Frame> invoke_frame(const sim_invoke_req& q, const remote_arg* args);
// The same into `frame`, whose storage is reused when large enough; false for nothing.
bool invoke_frame(const sim_invoke_req& q, const remote_arg* args, Frame* frame);
Frame status_frame();

// The replies, from a reply's payload: false when it is too short.
bool read_reply(const std::vector<uint8_t>& reply, sim_open_reply* r);
bool read_reply(const std::vector<uint8_t>& reply, sim_status_reply* s);
// An invocation's result; on 0 the output buffers and handles are in `args`. SIM_ERR_DSP_LOST
// when the reply is malformed.
int32_t read_invoke_reply(const std::vector<uint8_t>& reply, uint32_t scalars, remote_arg* args);

}  // namespace kestrel_sim
