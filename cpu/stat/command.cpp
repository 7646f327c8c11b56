// The measured command and the stop signals.
#include "cpu/stat/command.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vorlix::kestrel::stat {

namespace {

// What a file found on the way is: 0 an executable file, else the error a run of it would give.
int runnable(const std::string& path) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) {
        return errno;
    }
    if (S_ISDIR(info.st_mode)) {
        return EISDIR;
    }
    return access(path.c_str(), X_OK) == 0 ? 0 : EACCES;
}

int pidfd_open(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

// The handlers' end of the pipe.
int g_signal_pipe = -1;

void on_stop_signal(int signo, siginfo_t* info, void*) {
    const int saved = errno;
    // A process's kill carries a code of 0 or less (SI_USER, SI_QUEUE, SI_TKILL); the kernel's
    // own signals (a terminal's) a positive one.
    const unsigned char message[2] = {
        static_cast<unsigned char>(signo),
        static_cast<unsigned char>(info != nullptr && info->si_code <= 0)};
    [[maybe_unused]] const ssize_t written = write(g_signal_pipe, message, sizeof message);
    errno = saved;
}

}  // namespace

int find_program(const std::string& name, const char* path_var, std::string* path,
                 std::string* message) {
    if (name.find('/') != std::string::npos) {
        const int error = runnable(name);
        if (error == 0) {
            *path = name;
            return 0;
        }
        *message = name + ": " + std::strerror(error);
        return error == ENOENT || error == ENOTDIR ? kNotFound : kCannotRun;
    }
    const std::string folders =
        path_var != nullptr && path_var[0] != '\0' ? path_var : "/bin:/usr/bin";
    int first_error = 0;  // of a file that is there but cannot run
    std::string first_path;
    for (std::size_t at = 0; at <= folders.size();) {
        std::size_t end = folders.find(':', at);
        end = end == std::string::npos ? folders.size() : end;
        const std::string folder = end > at ? folders.substr(at, end - at) : ".";
        const std::string candidate = folder + "/" + name;
        const int error = runnable(candidate);
        if (error == 0) {
            *path = candidate;
            return 0;
        }
        if (first_error == 0 && (error == EACCES || error == EISDIR)) {
            first_error = error;
            first_path = candidate;
        }
        at = end + 1;
    }
    if (first_error != 0) {
        *message = name + ": " + std::strerror(first_error);
        return kCannotRun;
    }
    *message = name + ": command not found";
    return kNotFound;
}

ChildProcess::~ChildProcess() {
    if (pidfd_ >= 0) {
        close(pidfd_);
    }
}

bool ChildProcess::spawn(const std::string& path, const std::vector<std::string>& argv,
                         const SpawnSetup& setup, int* error) {
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    std::vector<char*> env;
    for (const std::string& entry : setup.env) {
        env.push_back(const_cast<char*>(entry.c_str()));
    }
    env.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    if (setup.stdout_fd != STDOUT_FILENO) {
        posix_spawn_file_actions_adddup2(&actions, setup.stdout_fd, STDOUT_FILENO);
    }
    // Nothing of kestrel-stat's (its DSP sessions, its files) reaches the command.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int signo : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD}) {
        sigaddset(&defaults, signo);
    }
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &setup.mask);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    const int result =
        posix_spawn(&pid, path.c_str(), &actions, &attributes, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (result != 0) {
        *error = result;
        return false;
    }
    pid_ = pid;
    child_ = true;
    pidfd_ = pidfd_open(pid);
    return true;
}

bool ChildProcess::watch(pid_t pid) {
    pid_ = pid;
    child_ = false;
    pidfd_ = pidfd_open(pid);
    if (pidfd_ < 0 && errno == ESRCH) {
        return false;
    }
    return pidfd_ >= 0 || kill(pid, 0) == 0 || errno == EPERM;
}

bool ChildProcess::ended(int* status) {
    if (child_) {
        const pid_t done = waitpid(pid_, status, WNOHANG);
        return done == pid_ || (done < 0 && errno == ECHILD);
    }
    if (pidfd_ >= 0) {
        pollfd fd{pidfd_, POLLIN, 0};
        return poll(&fd, 1, 0) > 0;
    }
    return kill(pid_, 0) != 0 && errno == ESRCH;
}

void ChildProcess::signal(int signo) const {
    if (child_ && pid_ > 0) {
        kill(pid_, signo);
    }
}

StopSignals::~StopSignals() {
    for (const int fd : pipe_) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

bool StopSignals::install() {
    if (pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    g_signal_pipe = pipe_[1];
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = on_stop_signal;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    for (const int signo : kSignals) {
        if (sigaction(signo, &action, nullptr) != 0) {
            return false;
        }
    }
    return true;
}

bool StopSignals::next(int* signo, bool* from_process) {
    unsigned char message[2];
    if (read(pipe_[0], message, sizeof message) != static_cast<ssize_t>(sizeof message)) {
        return false;
    }
    *signo = message[0];
    *from_process = message[1] != 0;
    return true;
}

}  // namespace vorlix::kestrel::stat
