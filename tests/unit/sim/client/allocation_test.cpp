// Without a trace, an invocation through the simulated platform allocates nothing once its
// buffers have grown to the call's size. This program counts every operator new it makes.
#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include <gtest/gtest.h>

#include "platform.h"

namespace {
std::atomic<long> g_allocations{0};
}  // namespace

// The replacements below pair operator new with malloc and operator delete with free, which
// GCC cannot see through once they are inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t n) {
    ++g_allocations;
    if (void* p = std::malloc(n != 0 ? n : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

TEST(SimPlatformAllocation, AnUntracedInvocationAllocatesNothing) {
    kestrel_sim::PlatformOptions o;
    // /dev/null stands for the device node: every process may open it.
    o.board = kestrel_sim::parse_board(
        nlohmann::json::parse(
            R"({"domains": [{"name": "cdsp", "id": 3, "device": {"path": "/dev/null"}}]})"),
        "test");
    o.dsp_command = kestrel_sim::dsp_host_launcher();
    o.dsp_command.push_back(SIM_DSP_PROGRAM);
    o.library_path = SIM_TEST_SKEL_DIR;
    kestrel_sim::Platform p(std::move(o));
    remote_handle64 h = 0;
    ASSERT_EQ(p.open("file:///libsim_test_skel.so?test_skel_invoke&_modver=1.0&_dom=cdsp", &h), 0);
    char in[64] = "abcdef", out[64] = {};
    remote_arg args[2];
    args[0].buf = {in, sizeof in};
    args[1].buf = {out, sizeof out};
    const uint32_t echo = remote_scalars_make(7, 1, 1, 0, 0);
    ASSERT_EQ(p.invoke(h, echo, args), 0);  // the buffers grow here

    const long before = g_allocations.load();
    int failures = 0;
    for (int i = 0; i < 100; ++i)
        failures += p.invoke(h, echo, args) != 0;
    const long allocations = g_allocations.load() - before;
    ASSERT_EQ(failures, 0);
    EXPECT_EQ(allocations, 0);
}

}  // namespace
