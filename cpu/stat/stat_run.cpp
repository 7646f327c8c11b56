// kestrel-stat's run driver.
#include "cpu/stat/stat_run.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "cpu/program_options.h"
#include "cpu/sampling/board.h"
#include "cpu/sampling/clock.h"
#include "cpu/sampling/library_path.h"
#include "cpu/sampling/recording.h"
#include "cpu/stat/collector.h"
#include "cpu/stat/command.h"
#include "cpu/stat/outputs.h"
#include "cpu/stat/stat_options.h"
#include "cpu/stat/summary.h"

extern char** environ;

namespace vorlix::kestrel::stat {

namespace {

// How long the sessions may take to open before the command starts without those still opening.
constexpr std::chrono::seconds kOpeningWait{10};
// How often a process is looked at when the kernel cannot tell its end (no pidfd).
constexpr int kPollWithoutPidfdMs = 10;

int error(const std::string& text) {
    std::fprintf(stderr, "kestrel-stat: %s\n", text.c_str());
    return -1;
}

// The environment as kestrel-stat was given it: the DSP library path without what kestrel-stat
// added for its own sessions.
std::vector<std::string> command_environment(const char* dsp_library_path) {
    const std::string key = std::string(kDspLibraryPathVar) + "=";
    std::vector<std::string> env;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, key.c_str(), key.size()) != 0) {
            env.emplace_back(*entry);
        }
    }
    if (dsp_library_path != nullptr) {
        env.push_back(key + dsp_library_path);
    }
    return env;
}

// Keeps the real standard output for the command (and "--json -") and sends what the libraries
// print on standard output to /dev/null: the command's output stays its own. The kept
// descriptor, or -1.
int keep_stdout_for_command() {
    const int kept = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (kept < 0 || null_fd < 0 || dup2(null_fd, STDOUT_FILENO) < 0) {
        return -1;
    }
    close(null_fd);
    return kept;
}

// Blocks (or unblocks) the stop signals in this thread: the samplers, started in between, keep
// them blocked; the main thread takes them.
void block_stop_signals(bool block) {
    sigset_t signals;
    sigemptyset(&signals);
    for (const int signo : StopSignals::kSignals) {
        sigaddset(&signals, signo);
    }
    pthread_sigmask(block ? SIG_BLOCK : SIG_UNBLOCK, &signals, nullptr);
}

// A live run: the board's cores sampled while the command runs (or the process lives, or the
// time passes).
class LiveRun {
  public:
    LiveRun(const StatParams& params, const sigset_t& original_mask, std::string dsp_path,
            bool had_dsp_path)
        : params_(params),
          original_mask_(original_mask),
          dsp_path_(std::move(dsp_path)),
          had_dsp_path_(had_dsp_path) {}

    int run() {
        int status = prepare();
        if (status != 0) {
            return status;
        }
        Collector collector(cores_, board_.legacy(),
                            static_cast<std::uint32_t>(params_.sample_time),
                            [this](const CoreEvent& event) { take(event); });
        block_stop_signals(true);
        const std::size_t opened = collector.start(kOpeningWait);
        block_stop_signals(false);
        if (opened == 0) {
            collector.stop();
            return error("no compute-DSP core could be measured: " + collector.failures());
        }
        // A stop signal while the sessions opened: the command is not started.
        int signo = 0;
        bool from_process = false;
        if (signals_.next(&signo, &from_process)) {
            collector.stop();
            return 128 + signo;
        }
        run_.start = monotonic_clock_seconds();
        run_.start_wall = wall_clock_seconds();
        status = start_measured();
        if (status == 0) {
            wait_for_end();
        }
        run_.end = monotonic_clock_seconds();
        collector.stop();
        if (status != 0) {
            return status;
        }
        summary_.finish(run_.end);
        const bool written = outputs_.finish(run_, summary_);
        const int result = params_.command.empty() ? 0 : run_.exit_status();
        return written || result != 0 ? result : -1;
    }

  private:
    // Everything that can fail before a session opens: the command's program, the process,
    // the files, the signals, the board's cores.
    int prepare() {
        if (!params_.command.empty()) {
            std::string message;
            const int found =
                find_program(params_.command.front(), std::getenv("PATH"), &program_, &message);
            if (found != 0) {
                std::fprintf(stderr, "kestrel-stat: %s\n", message.c_str());
                return found;
            }
        }
        if (params_.has_pid && !process_.watch(static_cast<pid_t>(params_.pid))) {
            return error("no process " + std::to_string(params_.pid));
        }
        stdout_fd_ = keep_stdout_for_command();
        if (stdout_fd_ < 0) {
            return error(std::string("standard output: ") + std::strerror(errno));
        }
        std::string why;
        if (!outputs_.open(params_, stdout_fd_, true, &why)) {
            return error(why);
        }
        if (!signals_.install()) {
            return error("cannot set up the signals");
        }
        if (!discover_cores(params_.cdsp_index, &board_, &cores_, &why)) {
            return error(why);
        }
        for (const CoreTarget& core : cores_) {
            summary_.add_core(core.index, core.domain_name, arch_label(core.arch), board_.legacy());
        }
        run_.command = params_.command;
        run_.has_pid = params_.has_pid;
        run_.pid = params_.pid;
        run_.duration_asked = params_.duration;
        run_.board = board_.soc_name + " (soc " + std::to_string(board_.soc_id) + ")";
        run_.window_ms = static_cast<std::uint32_t>(params_.sample_time);
        return 0;
    }

    // A core's event, on its sampler's thread: the summary's part of each core is that core's
    // alone (every core is in it from the start), the files are shared.
    void take(const CoreEvent& event) {
        const double at = event_time(event, true);
        summary_.take(event, at);
        if (outputs_.takes_events()) {
            std::lock_guard<std::mutex> lock(outputs_mutex_);
            outputs_.event(event, at);
        }
    }

    // Starts the command; the shell's status when it cannot run.
    int start_measured() {
        if (params_.command.empty()) {
            return 0;
        }
        SpawnSetup setup;
        setup.mask = original_mask_;
        setup.stdout_fd = stdout_fd_;
        setup.env = command_environment(had_dsp_path_ ? dsp_path_.c_str() : nullptr);
        int failure = 0;
        if (!process_.spawn(program_, params_.command, setup, &failure)) {
            std::fprintf(stderr, "kestrel-stat: %s: %s\n", params_.command.front().c_str(),
                         std::strerror(failure));
            return failure == ENOENT ? kNotFound : kCannotRun;
        }
        run_.has_pid = true;
        run_.pid = static_cast<std::uint64_t>(process_.pid());
        return 0;
    }

    // Waits until the command or the process ends, the time passes, or (without a command) a
    // stop signal comes. A stop signal a process sent is passed on to the command; one of the
    // terminal's has reached it already.
    void wait_for_end() {
        const bool process = !params_.command.empty() || params_.has_pid;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::duration<double>(params_.duration);
        for (;;) {
            int timeout = -1;
            if (params_.has_duration) {
                const double left =
                    std::chrono::duration<double>(deadline - std::chrono::steady_clock::now())
                        .count();
                if (left <= 0.0) {
                    return;
                }
                timeout = static_cast<int>(std::ceil(left * 1000.0));
            }
            if (process && process_.wait_fd() < 0) {
                timeout =
                    timeout < 0 ? kPollWithoutPidfdMs : std::min(timeout, kPollWithoutPidfdMs);
            }
            pollfd fds[2] = {{signals_.fd(), POLLIN, 0}, {process_.wait_fd(), POLLIN, 0}};
            poll(fds, process && process_.wait_fd() >= 0 ? 2 : 1, timeout);
            if (took_stop_signal() || (process && ended())) {
                return;
            }
        }
    }

    // Takes the waiting stop signals; true when one ends the measurement (no command).
    bool took_stop_signal() {
        int signo = 0;
        bool from_process = false;
        bool stop = false;
        while (signals_.next(&signo, &from_process)) {
            if (!params_.command.empty()) {
                if (from_process) {
                    process_.signal(signo);
                }
            } else {
                run_.stop_signal = signo;
                stop = true;
            }
        }
        return stop;
    }

    bool ended() {
        int status = 0;
        if (!process_.ended(&status)) {
            return false;
        }
        run_.has_status = true;
        if (!params_.command.empty()) {
            run_.exited = WIFEXITED(status);
            run_.code = WIFEXITED(status) ? WEXITSTATUS(status) : 0;
            run_.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        }
        return true;
    }

    const StatParams& params_;
    sigset_t original_mask_;
    std::string dsp_path_;
    bool had_dsp_path_;
    std::string program_;
    ChildProcess process_;
    int stdout_fd_ = -1;
    Outputs outputs_;
    std::mutex outputs_mutex_;
    StopSignals signals_;
    Board board_;
    std::vector<CoreTarget> cores_;
    Summary summary_;
    RunInfo run_;
};

// A recording summarised: no DSP is used.
int replay_run(const StatParams& params) {
    std::vector<CoreEvent> events;
    std::string why;
    if (!load_recording(params.replay, &events, &why)) {
        return error(why);
    }
    RunInfo run;
    run.replay = params.replay;
    run.monotonic = std::all_of(events.begin(), events.end(),
                                [](const CoreEvent& e) { return e.monotonic > 0.0; });
    run.start = run.end = event_time(events.front(), run.monotonic);
    run.start_wall = events.front().time;
    for (const CoreEvent& event : events) {
        const double at = event_time(event, run.monotonic);
        const double begins = event.has_figures ? at - window_seconds(event) : at;
        if (begins < run.start) {
            run.start_wall -= run.start - begins;
            run.start = begins;
        }
        run.end = std::max(run.end, at);
        if (run.window_ms == 0 && event.has_figures) {
            run.window_ms = event.window_ms;
        }
    }
    Outputs outputs;
    if (!outputs.open(params, STDOUT_FILENO, false, &why)) {
        return error(why);
    }
    Summary summary;
    for (const CoreEvent& event : events) {
        const double at = event_time(event, run.monotonic);
        summary.take(event, at);
        outputs.event(event, at);
    }
    summary.finish(run.end);
    return outputs.finish(run, summary) ? 0 : -1;
}

}  // namespace

int stat_run(int argc, const char** argv) {
    sigset_t original_mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &original_mask);
    StatParams params;
    const int options = split_command(argc, argv, &params.command);
    const CommandLine parsed = parse_program_command_line(
        "kestrel-stat: ", options, argv, stat_options_init, &params, print_stat_usage);
    if (parsed != CommandLine::kRun) {
        return parsed == CommandLine::kHelpShown ? 0 : -1;
    }
    std::string why;
    if (!check_stat_params(params, &why)) {
        return error(why);
    }
    if (!params.replay.empty()) {
        return replay_run(params);
    }
    // The command gets the DSP library path as kestrel-stat was given it.
    const char* given = std::getenv(kDspLibraryPathVar);
    const std::string dsp_path = given != nullptr ? given : "";
    if (!extend_dsp_library_path()) {
        return error(std::string("cannot set ") + kDspLibraryPathVar);
    }
    LiveRun run(params, original_mask, dsp_path, given != nullptr);
    return run.run();
}

}  // namespace vorlix::kestrel::stat
