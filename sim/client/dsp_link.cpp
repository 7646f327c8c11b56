#include "dsp_link.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "sim_proto.h"

extern char** environ;

namespace kestrel_sim {
namespace {

bool write_all(int fd, const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool read_all(int fd, void* data, size_t len) {
    char* p = static_cast<char*>(data);
    while (len > 0) {
        ssize_t n = ::read(fd, p, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// The DSP does not inherit the application's preloads (the sysfs fake is the application's).
std::vector<std::string> child_environment() {
    std::vector<std::string> env;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        if (std::strncmp(*e, "LD_PRELOAD=", 11) == 0 ||
            std::strncmp(*e, "UMOCKDEV_DIR=", 13) == 0) {
            continue;
        }
        env.emplace_back(*e);
    }
    return env;
}

}  // namespace

DspLink::~DspLink() {
    stop();
}

bool DspLink::start(const std::vector<std::string>& argv, const std::vector<uint8_t>& config) {
    if (argv.empty())
        return false;
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        return false;

    std::vector<std::string> env_strings = child_environment();
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : env_strings)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_t pid = ::fork();
    if (pid < 0) {
        ::close(sv[0]);
        ::close(sv[1]);
        return false;
    }
    if (pid == 0) {
        // Ctrl-C reaches the whole process group; the DSP is not interrupted by it.
        ::signal(SIGINT, SIG_IGN);
        ::signal(SIGPIPE, SIG_DFL);
        if (::dup2(sv[1], 0) < 0 || ::dup2(sv[1], 1) < 0)
            ::_exit(127);
        ::execvpe(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    ::close(sv[1]);
    fd_ = sv[0];
    pid_ = pid;
    if (!send_frame(SIM_MSG_CONFIG, config)) {
        mark_dead();
        return false;
    }
    return true;
}

bool DspLink::send_frame(uint32_t type, const std::vector<uint8_t>& payload) {
    sim_frame_header h{type, static_cast<uint32_t>(payload.size())};
    return write_all(fd_, &h, sizeof h) && write_all(fd_, payload.data(), payload.size());
}

bool DspLink::request(uint32_t type, const std::vector<uint8_t>& payload,
                      std::vector<uint8_t>* reply, const TraceSink& sink) {
    if (fd_ < 0)
        return false;
    if (!send_frame(type, payload)) {
        mark_dead();
        return false;
    }
    for (;;) {
        sim_frame_header h;
        if (!read_all(fd_, &h, sizeof h) || h.length > SIM_MAX_PAYLOAD + SIM_REPLY_EXTRA) {
            mark_dead();
            return false;
        }
        std::vector<uint8_t> body(h.length);
        if (!read_all(fd_, body.data(), body.size())) {
            mark_dead();
            return false;
        }
        if (h.type == SIM_MSG_TRACE) {
            if (sink)
                sink(std::string(body.begin(), body.end()));
            continue;
        }
        if (h.type == SIM_MSG_REPLY) {
            *reply = std::move(body);
            return true;
        }
        mark_dead();
        return false;
    }
}

void DspLink::mark_dead() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void DspLink::stop() {
    mark_dead();
    if (pid_ <= 0)
        return;
    // The DSP ends on end of file; give it a moment, then make sure.
    for (int i = 0; i < 200; ++i) {
        pid_t r = ::waitpid(pid_, nullptr, WNOHANG);
        if (r == pid_ || (r < 0 && errno != EINTR)) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

}  // namespace kestrel_sim
