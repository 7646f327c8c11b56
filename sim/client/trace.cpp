#include "trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace kestrel_sim {

Trace::~Trace() {
    if (fd_ >= 0)
        ::close(fd_);
}

void Trace::open(const std::string& path) {
    if (path.empty() || fd_ >= 0)
        return;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

void Trace::line(const nlohmann::json& obj) {
    if (fd_ < 0)
        return;
    raw_line(obj.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

void Trace::raw_line(const std::string& text) {
    if (fd_ < 0)
        return;
    std::lock_guard<std::mutex> lock(mu_);
    std::string buf = text + "\n";
    size_t off = 0;
    while (off < buf.size()) {
        ssize_t n = ::write(fd_, buf.data() + off, buf.size() - off);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        off += static_cast<size_t>(n);
    }
}

}  // namespace kestrel_sim
