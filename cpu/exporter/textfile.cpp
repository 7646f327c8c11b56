// The exposition as a file for node_exporter's textfile collector.
#include "cpu/exporter/textfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "cpu/exporter/log.h"

namespace vorlix::kestrel::exporter {

namespace {

constexpr const char* kFileName = "kestrel.prom";

// Writes all of `text` to `fd`; false with errno set on failure.
bool write_all(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

TextfileWriter::TextfileWriter(std::string directory)
    : directory_(std::move(directory)), path_(directory_ + "/" + kFileName) {}

bool TextfileWriter::write(const std::function<std::string()>& render) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string text = render();
    // The temporary name does not end in ".prom", so the collector never picks it up.
    std::string temporary = directory_ + "/.kestrel.prom.XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    bool ok = fd >= 0;
    int error = errno;
    if (ok) {
        // The collector may run as another user: the file is readable by all, as a file
        // written with the usual umask would be.
        ok = fchmod(fd, 0644) == 0 && write_all(fd, text);
        error = errno;
        if (close(fd) != 0 && ok) {
            ok = false;
            error = errno;
        }
        if (ok && std::rename(temporary.c_str(), path_.c_str()) != 0) {
            ok = false;
            error = errno;
        }
        if (!ok) {
            unlink(temporary.c_str());
        }
    }
    if (!ok && !failing_) {
        log_line(LogLevel::kError, "cannot write " + path_ + ": " + std::strerror(error));
    }
    failing_ = !ok;
    return ok;
}

}  // namespace vorlix::kestrel::exporter
