#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>

namespace kestrel_test {
namespace {

using Clock = std::chrono::steady_clock;

size_t count_occurrences(const std::string& haystack, const std::string& needle) {
    if (needle.empty()) {
        return 0;
    }
    size_t n = 0;
    for (size_t pos = haystack.find(needle); pos != std::string::npos;
         pos = haystack.find(needle, pos + needle.size())) {
        ++n;
    }
    return n;
}

#ifdef KESTREL_TARGET_EMULATOR
// True when path names an ELF program of the cross build's target machine, which this machine
// can run only through the emulator.
bool is_target_program(const std::string& path) {
    if (path.find('/') == std::string::npos) {
        return false;
    }
    unsigned char header[20] = {};
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const ssize_t n = read(fd, header, sizeof header);
    close(fd);
    static const unsigned char elf_magic[4] = {0x7f, 'E', 'L', 'F'};
    if (n != static_cast<ssize_t>(sizeof header) || std::memcmp(header, elf_magic, 4) != 0) {
        return false;
    }
    const unsigned machine = header[18] | (static_cast<unsigned>(header[19]) << 8);
    return machine == KESTREL_TARGET_ELF_MACHINE;
}
#endif

}  // namespace

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& opts) {
    if (argv.empty()) {
        throw std::invalid_argument("run_process: empty argv");
    }
    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    const pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }
    if (pid == 0) {
        // Own process group, so a group-wide SIGINT reaches the child and its helpers only.
        setpgid(0, 0);
        // The child starts with default signal handling whatever the test runner set, so that
        // what it does with a signal is its own choice.
        for (int number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
            signal(number, SIG_DFL);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, STDIN_FILENO);
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(err_pipe[1], STDERR_FILENO);
        for (const auto& name : opts.env_unset) {
            unsetenv(name.c_str());
        }
        for (const auto& kv : opts.env_set) {
            const auto eq = kv.find('=');
            setenv(kv.substr(0, eq).c_str(), eq == std::string::npos ? "" : kv.c_str() + eq + 1, 1);
        }
        if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0) {
            _exit(126);
        }
        std::vector<char*> args;
#ifdef KESTREL_TARGET_EMULATOR
        static char emulator[] = KESTREL_TARGET_EMULATOR;
        static char prefix_option[] = "-L";
        static char prefix[] = KESTREL_TARGET_PREFIX;
        if (is_target_program(argv[0])) {
            args.insert(args.end(), {emulator, prefix_option, prefix});
        }
#endif
        for (const auto& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        execvp(args[0], args.data());
        dprintf(STDERR_FILENO, "exec %s: %s\n", args[0], std::strerror(errno));
        _exit(127);
    }
    setpgid(pid, pid);
    close(out_pipe[1]);
    close(err_pipe[1]);

    ProcessResult result;
    const auto start = Clock::now();
    size_t next_sigint = 0;
    bool output_sigint_sent = false;
    Clock::time_point output_sigint_at{};
    bool output_sigint_armed = false;
    // When each further signal is due (unset until its file has appeared) and whether it went.
    std::vector<std::optional<Clock::time_point>> signal_at(opts.signals.size());
    std::vector<bool> signal_sent(opts.signals.size(), false);
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    int open_fds = 2;
    while (open_fds > 0) {
        const auto now = Clock::now();
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - start);
        if (elapsed >= opts.timeout) {
            result.timed_out = true;
            kill(-pid, SIGKILL);
            break;
        }
        if (next_sigint < opts.sigint_after.size() && elapsed >= opts.sigint_after[next_sigint]) {
            kill(-pid, SIGINT);
            ++next_sigint;
        }
        if (!output_sigint_sent && opts.sigint_on_output_count > 0 && !output_sigint_armed &&
            count_occurrences(result.out, opts.sigint_on_output) >=
                static_cast<size_t>(opts.sigint_on_output_count)) {
            output_sigint_armed = true;
            output_sigint_at = now + opts.sigint_on_output_delay;
        }
        if (output_sigint_armed && !output_sigint_sent && now >= output_sigint_at) {
            kill(-pid, SIGINT);
            output_sigint_sent = true;
        }
        for (size_t i = 0; i < opts.signals.size(); ++i) {
            const auto& plan = opts.signals[i];
            struct stat st {};
            if (!signal_at[i] && (plan.after_file.empty() ||
                                  (stat(plan.after_file.c_str(), &st) == 0 && st.st_size > 0))) {
                signal_at[i] = now + plan.delay;
            }
            if (signal_at[i] && !signal_sent[i] && now >= *signal_at[i]) {
                kill(plan.group ? -pid : pid, plan.number);
                signal_sent[i] = true;
            }
        }
        if (poll(fds, 2, 5) < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            char buf[4096];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            }
        }
    }
    for (auto& fd : fds) {
        if (fd.fd >= 0) {
            close(fd.fd);
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        result.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

}  // namespace kestrel_test
