#include "dsp_link.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim_io.h"
#include "sim_proto.h"

extern char** environ;

namespace kestrel_sim {
namespace {

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

// How long a DSP has to end after its link closed before it is killed.
constexpr int kExitTimeoutMs = 2000;

int64_t monotonic_ms() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Reads and drops what the DSP still sends until its end of the socket closes, which happens
// when its process ends, at most until `deadline`; true when it closed.
bool wait_for_close(int fd, int64_t deadline) {
    for (;;) {
        const int64_t left = deadline - monotonic_ms();
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        char drop[512];
        const ssize_t n = ::read(fd, drop, sizeof drop);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
            return true;
    }
}

// Reaps the process `pid`, at most until `deadline`; false when it is still running then. Its
// socket has closed by the time this is called, so it is ending: the first look mostly finds
// it gone, a later one comes a millisecond after the one before.
bool reap(pid_t pid, int64_t deadline) {
    for (;;) {
        const pid_t r = ::waitpid(pid, nullptr, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR))
            return true;
        if (monotonic_ms() >= deadline)
            return false;
        const timespec ms{0, 1000000};
        ::nanosleep(&ms, nullptr);
    }
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
    if (!send(config)) {
        mark_dead();
        return false;
    }
    return true;
}

bool DspLink::send(const std::vector<uint8_t>& frame) {
    return sim_io_write_all(sim_io_posix_send, fd_, frame.data(), frame.size()) == 0;
}

bool DspLink::request(const std::vector<uint8_t>& frame, std::vector<uint8_t>* reply,
                      const TraceSink& sink) {
    if (fd_ < 0)
        return false;
    if (!send(frame)) {
        mark_dead();
        return false;
    }
    for (;;) {
        uint8_t head[SIM_FRAME_HEADER_BYTES];
        sim_frame_header h{};
        if (sim_io_read_all(sim_io_posix_read, fd_, head, sizeof head) != 0 ||
            (h = sim_frame_header_get(head)).length > SIM_MAX_PAYLOAD + SIM_REPLY_EXTRA) {
            mark_dead();
            return false;
        }
        // The reply is read into the caller's buffer, which keeps its storage from one request
        // to the next; a trace line into the link's own.
        if (h.type == SIM_MSG_REPLY) {
            reply->resize(h.length);
            if (sim_io_read_all(sim_io_posix_read, fd_, reply->data(), reply->size()) != 0) {
                mark_dead();
                return false;
            }
            return true;
        }
        if (h.type != SIM_MSG_TRACE) {
            mark_dead();
            return false;
        }
        trace_line_.resize(h.length);
        if (sim_io_read_all(sim_io_posix_read, fd_, trace_line_.data(), trace_line_.size()) != 0) {
            mark_dead();
            return false;
        }
        if (sink)
            sink(trace_line_);
    }
}

void DspLink::mark_dead() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void DspLink::stop() {
    // The DSP ends on end of file: the link is shut for writing, and its end of the socket
    // closing says that its process is ending. No fixed pause; after the time limit it is
    // killed.
    const int64_t deadline = monotonic_ms() + kExitTimeoutMs;
    if (fd_ >= 0) {
        ::shutdown(fd_, SHUT_WR);
        wait_for_close(fd_, deadline);
    }
    mark_dead();
    if (pid_ <= 0)
        return;
    if (!reap(pid_, deadline)) {
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    pid_ = -1;
}

void DspLink::kill() {
    mark_dead();
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

}  // namespace kestrel_sim
