// The exporter's log: what it quotes is escaped, and what outsiders repeat is said once a
// minute with a count.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "cpu/exporter/log.h"

namespace {

using vorlix::kestrel::exporter::escaped;
using vorlix::kestrel::exporter::RateLimitedLog;

TEST(ExporterLog, QuotedBytesAreEscaped) {
    EXPECT_EQ(escaped("plain text: 1/2 ok"), "plain text: 1/2 ok");
    EXPECT_EQ(escaped(std::string("a\nb\rc\td\\e\x1b[31m\x7f\xc3\xa9\0z", 19)),
              "a\\nb\\rc\\td\\\\e\\x1b[31m\\x7f\\xc3\\xa9\\x00z");
}

TEST(ExporterLog, EachKeyIsSaidOnceAMinuteWithItsCount) {
    RateLimitedLog log;
    const auto start = RateLimitedLog::Clock::time_point{} + std::chrono::hours(1);
    EXPECT_EQ(log.occurred("10.0.0.1", start), 1u);
    EXPECT_EQ(log.occurred("10.0.0.1", start + std::chrono::seconds(1)), 0u);
    EXPECT_EQ(log.occurred("10.0.0.2", start + std::chrono::seconds(2)), 1u);
    EXPECT_EQ(log.occurred("10.0.0.1", start + std::chrono::seconds(59)), 0u);
    // A minute after it was said: this one and the two unsaid.
    EXPECT_EQ(log.occurred("10.0.0.1", start + std::chrono::seconds(60)), 3u);
    EXPECT_EQ(log.occurred("10.0.0.1", start + std::chrono::seconds(61)), 0u);
    // Keys beyond the bound push the oldest out instead of growing without end.
    for (std::size_t i = 0; i < RateLimitedLog::kKeys + 10; ++i) {
        log.occurred("k" + std::to_string(i),
                     start + std::chrono::seconds(70) + std::chrono::microseconds(i));
    }
    EXPECT_EQ(log.occurred("k0", start + std::chrono::seconds(71)), 1u);
    EXPECT_EQ(log.occurred("k4000", start + std::chrono::seconds(71)), 0u);
}

}  // namespace
