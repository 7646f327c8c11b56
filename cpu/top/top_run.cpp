// kestrel-top's run driver and screen loop.
#include "cpu/top/top_run.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cpu/output.h"
#include "cpu/program_options.h"
#include "cpu/sampling/board.h"
#include "cpu/sampling/clock.h"
#include "cpu/sampling/recording.h"
#include "cpu/top/collector.h"
#include "cpu/top/input.h"
#include "cpu/top/layout.h"
#include "cpu/top/replay.h"
#include "cpu/top/screen.h"
#include "cpu/top/top_options.h"

namespace vorlix::kestrel::top {

namespace {

// The signals that end the run: Ctrl-C from outside (inside the screen it is a key), a stop,
// a closed terminal. With SIGWINCH they are taken by the screen loop alone, inside ppoll.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

volatile sig_atomic_t g_stop_signal = 0;

// The longest wait for the next event of a replay before the screen looks again; events hours
// apart are waited for in steps of this.
constexpr double kLongestReplayWaitS = 3600.0;

void on_stop_signal(int signo) {
    g_stop_signal = signo;
}

void error(const std::string& text) {
    std::fprintf(stderr, "kestrel-top: %s\n", text.c_str());
}

double steady_clock() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Blocks the loop's signals (the sampling threads inherit that) and installs their handlers
// without SA_RESTART. The mask that ppoll waits with is returned in `waiting`.
bool take_signals(sigset_t* waiting) {
    sigset_t blocked;
    sigemptyset(&blocked);
    for (const int signo : kStopSignals) {
        sigaddset(&blocked, signo);
    }
    sigaddset(&blocked, SIGWINCH);
    sigset_t previous;
    if (pthread_sigmask(SIG_BLOCK, &blocked, &previous) != 0) {
        return false;
    }
    *waiting = previous;
    for (const int signo : kStopSignals) {
        sigdelset(waiting, signo);
    }
    sigdelset(waiting, SIGWINCH);
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    for (const int signo : kStopSignals) {
        if (sigaction(signo, &action, nullptr) != 0) {
            return false;
        }
    }
    return true;
}

bool colour_wanted(const TopParams& params) {
    return !params.mono && colour_allowed();
}

std::string base_name(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string clock_of_day(double time) {
    const std::time_t seconds = static_cast<std::time_t>(time);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

// The replay's clock: the recording's time, running with the wall clock while playing.
class ReplayClock {
  public:
    explicit ReplayClock(double start) : origin_(start), since_(steady_clock()) {}
    double now() const { return playing_ ? origin_ + (steady_clock() - since_) : origin_; }
    void set(double time) {
        origin_ = time;
        since_ = steady_clock();
    }
    void play(bool playing) {
        set(now());
        playing_ = playing;
    }
    bool playing() const { return playing_; }

  private:
    double origin_;
    double since_;
    bool playing_ = true;
};

// Milliseconds until the next whole second of a countdown on screen; -1 when none runs.
int countdown_timeout(const Model& model, double now) {
    double next = -1.0;
    for (const auto& core : model.cores) {
        if (core.session != SessionState::kDown) {
            continue;
        }
        const double left = core.reopen_at - now;
        if (left <= 0.0) {
            continue;
        }
        const double until = left - std::floor(left) + 0.01;
        next = next < 0.0 ? until : std::min(next, until);
    }
    return next < 0.0 ? -1 : static_cast<int>(std::ceil(next * 1000.0));
}

// Drains the wake-up pipe.
void drain(int fd) {
    char buffer[64];
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
}

// The screen loop. Returns when the user quits, a stop signal comes, the terminal is gone or
// the wait itself fails (failure() tells).
//
// Live, the screen thread waits for keys and signals only: new figures are laid out and drawn
// by the sampler thread whose event completes them (events_waiting), which is awake anyway,
// rather than by a wake-up of the screen thread per window. One mutex keeps the two apart:
// the model, the view, ncurses and the terminal are touched under it alone.
class Loop {
  public:
    // `notify_fd`: the write end of a pipe whose read end is `wake_fd`.
    Loop(Terminal& terminal, const sigset_t& waiting, int wake_fd, int notify_fd)
        : terminal_(terminal), waiting_(waiting), wake_fd_(wake_fd), notify_fd_(notify_fd) {}

    // Before the collector starts.
    void attach(Collector& collector, std::atomic<std::uint32_t>& window, std::string title) {
        std::lock_guard<std::mutex> lock(mutex_);
        collector_ = &collector;
        window_ = &window;
        view_.title = std::move(title);
    }

    void live() { run(); }

    // The collector's call, on a sampler's thread: events are to be taken and drawn. Nothing is
    // drawn once the loop has ended, nor while a resize waits for the screen thread (which
    // draws then).
    void events_waiting() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (ended_ || collector_ == nullptr || terminal_.resize_pending()) {
            return;
        }
        update();
        draw();
        // A reopening countdown now on screen wakes the screen thread for its seconds, unless it
        // already wakes by then.
        const int countdown = countdown_timeout(shown(), view_.now);
        if (countdown >= 0 && steady_clock() + countdown / 1000.0 < wakes_at_) {
            wakes_at_ = 0.0;
            const char byte = 1;
            [[maybe_unused]] const ssize_t written = write(notify_fd_, &byte, 1);
        }
    }

    void replay(ReplayCursor& cursor, std::string title) {
        cursor_ = &cursor;
        clock_ = std::make_unique<ReplayClock>(cursor.time());
        view_.title = std::move(title);
        run();
    }

    // errno of a wait that failed and ended the loop; 0 when none did.
    int failure() const { return failure_; }

  private:
    void run() {
        for (;;) {
            int ms = -1;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (draw_due_) {
                    update();
                    draw();
                }
                ms = timeout();
                wakes_at_ = ms < 0 ? HUGE_VAL : steady_clock() + ms / 1000.0;
            }
            if (!wait(ms)) {
                break;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            if (!read_keys()) {
                break;
            }
        }
        std::lock_guard<std::mutex> lock(mutex_);
        ended_ = true;
    }

    // The model shown: live, the collector's, or the copy of it frozen at the pause; in a replay,
    // the recording's at the replay's clock (model_ both).
    const Model& shown() const {
        return collector_ != nullptr && !paused_ ? collector_->model() : model_;
    }

    // Brings the model shown up to date.
    void update() {
        if (collector_ != nullptr) {
            collector_->collect();
            if (paused_) {
                model_.window_ms = window_->load();
            } else {
                view_.now = wall_clock_seconds();
            }
            return;
        }
        double next = 0.0;
        while (clock_->playing() && cursor_->next_time(&next) && next <= clock_->now()) {
            cursor_->step_forward();
        }
        model_ = cursor_->model();
        view_.now = clock_->playing() ? clock_->now() : cursor_->time();
        view_.status = clock_of_day(cursor_->time()) + "  " + std::to_string(cursor_->position()) +
                       "/" + std::to_string(cursor_->size());
        if (cursor_->position() == cursor_->size()) {
            view_.status += "  end";
        }
    }

    void draw() {
        const TermSize size = terminal_.size();
        if (size.columns > history_) {
            // The plots are as wide as the terminal at most; the rings keep at least that much.
            history_ = size.columns;
            if (collector_ != nullptr) {
                collector_->reserve_history(static_cast<std::size_t>(history_));
            } else {
                cursor_->reserve_history(static_cast<std::size_t>(history_));
            }
        }
        view_.paused = paused_;
        render_screen(shown(), view_, size, &lines_);
        terminal_.draw(&lines_);
    }

    int timeout() const {
        if (cursor_ != nullptr) {
            if (paused_) {
                return -1;
            }
            double next = 0.0;
            if (!cursor_->next_time(&next)) {
                return -1;
            }
            const double wait = std::clamp(next - clock_->now(), 0.0, kLongestReplayWaitS);
            return static_cast<int>(std::ceil(wait * 1000.0));
        }
        // Live, new figures are drawn by the samplers; the screen wakes by itself only for a
        // reopening countdown on screen.
        return countdown_timeout(shown(), view_.now);
    }

    // Waits for a key, a signal, the next timed change or a sampler's call for a countdown.
    // False when the run ends.
    bool wait(int ms) {
        pollfd fds[2] = {{terminal_.input_fd(), POLLIN, 0}, {wake_fd_, POLLIN, 0}};
        timespec limit{ms / 1000, (ms % 1000) * 1000000L};
        const int ready = ppoll(fds, 2, ms < 0 ? nullptr : &limit, &waiting_);
        if (g_stop_signal != 0) {
            return false;
        }
        if (ready < 0) {
            if (errno != EINTR) {
                failure_ = errno;
                return false;
            }
            // A signal: SIGWINCH, whose KEY_RESIZE ncurses gives with the keys.
            signalled_ = true;
            input_ready_ = false;
            draw_due_ = true;
            return true;
        }
        if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            return false;  // the terminal is gone
        }
        signalled_ = false;
        input_ready_ = (fds[0].revents & POLLIN) != 0;
        // A key, a countdown's second or a replay's next event: drawn at once. A sampler's call
        // only has the wait worked out anew.
        draw_due_ = input_ready_ || ready == 0;
        if ((fds[1].revents & POLLIN) != 0) {
            drain(wake_fd_);
        }
        return true;
    }

    // Handles every waiting key. False when one quits or the terminal has closed.
    bool read_keys() {
        if (!input_ready_ && !signalled_) {
            return true;  // a sample or a timed change: no key to look for
        }
        bool any = false;
        for (int key = terminal_.read_key(); key != -1; key = terminal_.read_key()) {
            any = true;
            if (!handle(action_for_key(key))) {
                return false;
            }
        }
        // Readable with nothing to read, again and again: end of file on the terminal.
        empty_reads_ = input_ready_ && !any ? empty_reads_ + 1 : 0;
        return empty_reads_ < 3;
    }

    bool handle(Action action) {
        if (action == Action::kResize) {
            return true;
        }
        if (view_.help) {
            view_.help = false;
            return true;
        }
        const std::size_t cores = std::max<std::size_t>(shown().cores.size(), 1);
        const bool stepping = cursor_ != nullptr && paused_;
        switch (action) {
            case Action::kQuit:
                return false;
            case Action::kEscape:
                if (!view_.single) {
                    return false;
                }
                view_.single = false;
                break;
            case Action::kPause:
                paused_ = !paused_;
                if (collector_ != nullptr) {
                    if (paused_) {
                        model_ = collector_->model();
                    }
                    collector_->set_paused(paused_);
                } else {
                    clock_->play(!paused_);
                }
                break;
            case Action::kLonger:
            case Action::kShorter:
                change_window(action == Action::kLonger);
                break;
            case Action::kLeft:
                if (stepping) {
                    step(false);
                    break;
                }
                [[fallthrough]];
            case Action::kPrevious:
                view_.selected = (view_.selected + cores - 1) % cores;
                break;
            case Action::kRight:
                if (stepping) {
                    step(true);
                    break;
                }
                [[fallthrough]];
            case Action::kNext:
                view_.selected = (view_.selected + 1) % cores;
                break;
            case Action::kEnter:
                view_.single = !view_.single;
                break;
            case Action::kHelp:
                view_.help = true;
                break;
            case Action::kStepBack:
            case Action::kStepForward:
                if (cursor_ != nullptr) {
                    step(action == Action::kStepForward);
                }
                break;
            case Action::kNone:
            case Action::kResize:
                break;
        }
        return true;
    }

    void change_window(bool longer) {
        if (window_ == nullptr) {
            return;
        }
        const std::uint32_t now = window_->load();
        const std::uint32_t next = longer ? std::min(now + kWindowStepMs, kLongestWindowMs)
                                          : std::max(now - kWindowStepMs, kShortestWindowMs);
        window_->store(next);
    }

    void step(bool forward) {
        if (forward) {
            cursor_->step_forward();
        } else {
            cursor_->step_back();
        }
        clock_->set(cursor_->time());
    }

    Terminal& terminal_;
    sigset_t waiting_;
    int wake_fd_;
    int notify_fd_;
    std::mutex mutex_;
    bool ended_ = false;
    double wakes_at_ = 0.0;  // when the screen thread's wait ends by itself, on steady_clock()
    Collector* collector_ = nullptr;
    std::atomic<std::uint32_t>* window_ = nullptr;
    ReplayCursor* cursor_ = nullptr;
    std::unique_ptr<ReplayClock> clock_;
    Model model_;
    ViewState view_;
    std::vector<Line> lines_;  // the screen being laid out; the last one's storage serves again
    bool paused_ = false;
    bool draw_due_ = true;      // the next turn draws
    bool input_ready_ = false;  // the terminal was readable
    bool signalled_ = false;    // a signal ended the wait
    int empty_reads_ = 0;
    int history_ = 0;
    int failure_ = 0;
};

// What ends the run once the screen is closed: a wait that failed, or a recording that could
// not be written, is told on standard error and fails the run.
int end_of_run(const Loop& loop, RecordingWriter* recording) {
    int status = 0;
    if (loop.failure() != 0) {
        error(std::string("waiting for input: ") + std::strerror(loop.failure()));
        status = -1;
    }
    std::string why;
    if (recording != nullptr && !recording->close(&why)) {
        error(why);
        status = -1;
    }
    return status;
}

}  // namespace

int top_run(int argc, const char** argv) {
    sigset_t waiting;
    if (!take_signals(&waiting)) {
        error("cannot set up the signals");
        return -1;
    }

    TopParams params;
    switch (parse_program_command_line("kestrel-top: ", argc, argv, top_options_init, &params,
                                       nullptr)) {
        case CommandLine::kInvalid:
            return -1;
        case CommandLine::kHelpShown:
            return 0;
        case CommandLine::kRun:
            break;
    }
    std::string why;
    if (!check_top_params(params, &why)) {
        error(why);
        return -1;
    }
    // A recording is read whole before anything else, so that a malformed line is told at once.
    std::vector<CoreEvent> events;
    if (!params.replay.empty() && !load_recording(params.replay, &events, &why)) {
        error(why);
        return -1;
    }
    if (!isatty(STDOUT_FILENO)) {
        error(
            "standard output is not a terminal; for scripts, kestrel-exporter --once prints "
            "one sample of every core");
        return kNotATerminal;
    }

    int notify[2];
    if (pipe2(notify, O_NONBLOCK | O_CLOEXEC) != 0) {
        error(std::string("pipe: ") + std::strerror(errno));
        return -1;
    }
    struct ClosePipe {
        int* fds;
        ~ClosePipe() {
            close(fds[0]);
            close(fds[1]);
        }
    } close_pipe{notify};

    // From the screen's opening on, what the libraries print goes nowhere (the screen keeps the
    // terminal for itself), and what goes wrong is told once it is closed.
    Terminal terminal;
    if (!terminal.open(STDOUT_FILENO, colour_wanted(params), &why)) {
        error(why);
        return -1;
    }
    const auto fail = [&terminal](const std::string& text) {
        terminal.close();
        error(text);
        return -1;
    };

    if (!params.replay.empty()) {
        ReplayCursor cursor(std::move(events));
        cursor.step_forward();
        Loop loop(terminal, waiting, notify[0], notify[1]);
        loop.replay(cursor, "replay " + base_name(params.replay));
        terminal.close();
        return end_of_run(loop, nullptr);
    }

    // The board's cores, by the SoC rules; the SoC id is read once for the whole run.
    Board board;
    std::vector<CoreTarget> cores;
    if (!discover_cores(params.cdsp_index, &board, &cores, &why)) {
        return fail(why);
    }
    RecordingWriter recording;
    if (!params.record.empty() && !recording.open(params.record, &why)) {
        return fail(why);
    }

    std::atomic<std::uint32_t> window{static_cast<std::uint32_t>(params.sample_time)};
    Loop loop(terminal, waiting, notify[0], notify[1]);
    Collector collector(cores, board.legacy(), &window,
                        params.record.empty() ? nullptr : &recording,
                        [&loop] { loop.events_waiting(); });
    loop.attach(collector, window, board.soc_name + " (soc " + std::to_string(board.soc_id) + ")");
    collector.start();
    loop.live();
    // The samplers end first (every session closed, every group released), then the screen.
    collector.stop();
    terminal.close();
    return end_of_run(loop, &recording);
}

}  // namespace vorlix::kestrel::top
