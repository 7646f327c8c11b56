// The per-core state under failures and the listen address.
#include <gtest/gtest.h>

#include "cpu/exporter/core_state.h"
#include "cpu/exporter/http_server.h"

namespace {

using vorlix::kestrel::exporter::CoreState;
using vorlix::kestrel::exporter::ListenAddress;
using vorlix::kestrel::exporter::parse_listen_address;

TEST(CoreState, FailureTakesItDownAndKeepsTheCounters) {
    CoreState state("nsp1", "V73", false);
    EXPECT_FALSE(state.snapshot().up);

    state.session_opened();
    EXPECT_TRUE(state.snapshot().up);
    EXPECT_FALSE(state.snapshot().has_sample);
    state.sample_taken({0.5f, 0.25f, 0.125f, 1e9f}, 100.0);
    state.sample_taken({0.6f, 0.25f, 0.125f, 1e9f}, 101.0);

    state.failed();
    auto s = state.snapshot();
    EXPECT_FALSE(s.up);
    EXPECT_FALSE(s.has_sample);
    EXPECT_EQ(s.samples, 2u);
    EXPECT_EQ(s.errors, 1u);
    EXPECT_EQ(s.timestamp, 101.0);

    // A failed reopening counts again; a reopened session is up without a sample until it has
    // taken one.
    state.failed();
    state.session_opened();
    s = state.snapshot();
    EXPECT_TRUE(s.up);
    EXPECT_FALSE(s.has_sample);
    EXPECT_EQ(s.errors, 2u);
    state.sample_taken({0.7f, 0.25f, 0.125f, 1e9f}, 105.0);
    s = state.snapshot();
    EXPECT_TRUE(s.has_sample);
    EXPECT_EQ(s.samples, 3u);
    EXPECT_EQ(s.figures.qdsp6, 0.7f);
    EXPECT_EQ(s.domain, "nsp1");
}

TEST(ListenAddress, HostAndPortForms) {
    ListenAddress a;
    std::string why;
    ASSERT_TRUE(parse_listen_address("127.0.0.1:9846", &a, &why));
    EXPECT_EQ(a.host, "127.0.0.1");
    EXPECT_EQ(a.port, 9846);
    ASSERT_TRUE(parse_listen_address("[::1]:0", &a, &why));
    EXPECT_EQ(a.host, "::1");
    EXPECT_EQ(a.port, 0);
    ASSERT_TRUE(parse_listen_address(":65535", &a, &why));
    EXPECT_EQ(a.host, "");
    ASSERT_TRUE(parse_listen_address("localhost:80", &a, &why));
    EXPECT_EQ(a.host, "localhost");
    for (const char* bad : {"9846", "127.0.0.1:", "127.0.0.1:65536", "127.0.0.1:9x", "::1:80",
                            "[::1:80", "1.2.3.4:-1"}) {
        EXPECT_FALSE(parse_listen_address(bad, &a, &why)) << bad;
        EXPECT_FALSE(why.empty()) << bad;
    }
}

}  // namespace
