#include "dsp_link.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

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
        std::vector<uint8_t> body(h.length);
        if (sim_io_read_all(sim_io_posix_read, fd_, body.data(), body.size()) != 0) {
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
