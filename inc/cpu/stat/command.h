// The measured command, as a shell runs it: found on the PATH, started with the terminal's
// standard streams and kestrel-stat's environment as kestrel-stat was given it, waited for; or a
// process of someone else's, watched until it ends (--pid). And the stop signals, which the main
// loop takes from a pipe.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace vorlix::kestrel::stat {

// The shell's statuses for a command that does not run.
inline constexpr int kNotFound = 127;
inline constexpr int kCannotRun = 126;

// Finds the program `name` as a shell does: a name with a "/" as it is, any other in the folders
// of `path_var` (PATH; null or empty: "/bin:/usr/bin"), the first executable file. 0 with its
// path in `path`; else the shell's status and message ("NAME: command not found" or "NAME: No
// such file or directory": 127; "NAME: Permission denied" or "NAME: Is a directory": 126).
int find_program(const std::string& name, const char* path_var, std::string* path,
                 std::string* message);

// How the command is started.
struct SpawnSetup {
    sigset_t mask;                 // its signal mask: the one kestrel-stat was started with
    int stdout_fd = 1;             // becomes its standard output
    std::vector<std::string> env;  // its environment
};

class ChildProcess {
  public:
    ChildProcess() = default;
    // Closes what watches it (the process itself is the caller's business).
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts `path` with `argv`, every descriptor above 2 closed, the signals it inherits
    // ignored or handled back at their defaults. False with the error number in `error`.
    bool spawn(const std::string& path, const std::vector<std::string>& argv,
               const SpawnSetup& setup, int* error);
    // Watches an existing process (not a child: its status is not known). False when there is
    // no such process.
    bool watch(pid_t pid);

    pid_t pid() const { return pid_; }
    // Readable once the process has ended; -1 when the kernel cannot tell (then ended() is
    // asked now and then).
    int wait_fd() const { return pidfd_; }
    // Whether it has ended; a child is reaped and its wait status stored in `status`.
    bool ended(int* status);
    void signal(int signo) const;

  private:
    pid_t pid_ = -1;
    int pidfd_ = -1;
    bool child_ = false;
};

// The stop signals (SIGINT, SIGTERM, SIGHUP), handled by writing them to a pipe that the main
// loop waits on, with who sent each: a process (kill), or the kernel (Ctrl-C or a hang-up of
// the terminal, which tell the whole foreground process group, the command with it).
class StopSignals {
  public:
    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

    StopSignals() = default;
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Creates the pipe and installs the handlers. False when it cannot.
    bool install();
    int fd() const { return pipe_[0]; }
    // The next signal taken: false when none is waiting.
    bool next(int* signo, bool* from_process);

  private:
    int pipe_[2] = {-1, -1};
};

}  // namespace vorlix::kestrel::stat
