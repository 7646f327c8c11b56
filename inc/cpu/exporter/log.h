// The exporter's log on standard error: one line per event, "[LEVEL] [EXPORTER] text", each line
// written whole in one write so that lines of different threads never mix, bytes that are not
// printable (from a file or a client) shown as escapes; and a limit of one line a minute per key
// for what outsiders can make happen again and again.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace vorlix::kestrel::exporter {

enum class LogLevel { kError, kWarn, kInfo };

// Writes "[ERROR] [EXPORTER] text\n" (or WARN, INFO) to standard error in one write; control
// bytes, bytes above 0x7e and backslashes in `text` are written as escapes (\n, \x1b, \\).
void log_line(LogLevel level, std::string_view text);

// `bytes` with every byte that is not printable ASCII, and the backslash, as an escape: what a
// log line or a message may quote of a file or a request.
std::string escaped(std::string_view bytes);

// Says one thing at most once a minute per key (a client address, a message), with the count of
// the times it happened since it was last said.
class RateLimitedLog {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kInterval{60};
    // Keys remembered at most; the oldest are forgotten first (their counts with them).
    static constexpr std::size_t kKeys = 4096;

    // One occurrence for `key` at `now`: the number of occurrences to report (this one
    // included) when a line is due, 0 when it is not.
    std::uint64_t occurred(const std::string& key, Clock::time_point now = Clock::now());

  private:
    struct Entry {
        Clock::time_point said;
        std::uint64_t unsaid = 0;
    };
    void forget_old(Clock::time_point now);

    std::mutex mutex_;
    std::unordered_map<std::string, Entry> entries_;
};

}  // namespace vorlix::kestrel::exporter
