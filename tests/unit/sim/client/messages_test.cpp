// The application side's reading of a DSP's invocation reply.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "messages.h"
#include "sim_proto.h"

namespace {

// A reply whose result is 0 but which ends inside the output handle, after the output buffer:
// a malformed reply, which must leave the caller's buffer as a failed call does.
TEST(SimInvokeReply, AShortReplyCopiesNothingBack) {
    std::vector<uint8_t> reply(8, 0);     // result 0, reserved word
    reply.insert(reply.end(), 16, 0x11);  // the output buffer
    reply.insert(reply.end(), 5, 0x22);   // 5 of the handle's 8 bytes
    uint8_t out[16] = {};
    remote_arg args[2];
    args[0].buf.pv = out;
    args[0].buf.nLen = sizeof out;
    args[1].h64 = 7;
    EXPECT_EQ(kestrel_sim::read_invoke_reply(reply, remote_scalars_make(0, 0, 1, 0, 1), args),
              SIM_ERR_DSP_LOST);
    EXPECT_EQ(std::vector<uint8_t>(out, out + sizeof out), std::vector<uint8_t>(16, 0));
    EXPECT_EQ(args[1].h64, 7u);

    reply.insert(reply.end(), 3, 0x22);  // the whole handle
    EXPECT_EQ(kestrel_sim::read_invoke_reply(reply, remote_scalars_make(0, 0, 1, 0, 1), args), 0);
    EXPECT_EQ(std::vector<uint8_t>(out, out + sizeof out), std::vector<uint8_t>(16, 0x11));
    EXPECT_EQ(args[1].h64, 0x2222222222222222u);
}

}  // namespace
