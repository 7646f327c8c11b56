// The exporter's log lines.
#include "cpu/exporter/log.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace vorlix::kestrel::exporter {

namespace {

const char* prefix(LogLevel level) {
    switch (level) {
        case LogLevel::kError:
            return "[ERROR] [EXPORTER] ";
        case LogLevel::kWarn:
            return "[WARN ] [EXPORTER] ";
        case LogLevel::kInfo:
            break;
    }
    return "[INFO ] [EXPORTER] ";
}

}  // namespace

std::string escaped(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\\') {
            out += "\\\\";
        } else if (byte == '\n') {
            out += "\\n";
        } else if (byte == '\t') {
            out += "\\t";
        } else if (byte == '\r') {
            out += "\\r";
        } else if (byte < 0x20 || byte > 0x7e) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

void log_line(LogLevel level, std::string_view text) {
    std::string line = prefix(level);
    line += escaped(text);
    line += '\n';
    // One write for the whole line; a short write (a full pipe) goes on from where it stopped.
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

std::uint64_t RateLimitedLog::occurred(const std::string& key, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = entries_.find(key);
    if (found == entries_.end()) {
        if (entries_.size() >= kKeys) {
            forget_old(now);
        }
        entries_.emplace(key, Entry{now, 0});
        return 1;
    }
    Entry& entry = found->second;
    if (now - entry.said < kInterval) {
        ++entry.unsaid;
        return 0;
    }
    const std::uint64_t count = entry.unsaid + 1;
    entry = Entry{now, 0};
    return count;
}

void RateLimitedLog::forget_old(Clock::time_point now) {
    // Keys said more than a minute ago are said again at once anyway; when every key is recent,
    // the one said longest ago goes, with what it had not said yet.
    for (auto it = entries_.begin(); it != entries_.end();) {
        it = now - it->second.said >= kInterval ? entries_.erase(it) : std::next(it);
    }
    while (entries_.size() >= kKeys) {
        auto oldest = entries_.begin();
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->second.said < oldest->second.said) {
                oldest = it;
            }
        }
        entries_.erase(oldest);
    }
}

}  // namespace vorlix::kestrel::exporter
