// kestrel-top's run driver and screen loop.
#include "cpu/top/top_run.h"

#include <fcntl.h>
#include <langinfo.h>
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
#include <clocale>
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

// SIGWINCH only has the loop's wait end (EINTR); the loop reads the new size then.
void on_resize(int) {}

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
    action.sa_handler = on_resize;
    return sigaction(SIGWINCH, &action, nullptr) == 0;
}

bool colour_wanted(const TopParams& params) {
    return !params.mono && colour_allowed();
}

std::string base_name(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
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

// "01:05", or "1:01:05" from an hour on.
std::string clock_of(double seconds) {
    const auto total = static_cast<long long>(std::max(0.0, seconds));
    char text[32];
    if (total >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60,
                      total % 60);
    } else {
        std::snprintf(text, sizeof text, "%02lld:%02lld", total / 60, total % 60);
    }
    return text;
}

// The screen loop. Returns when the user quits, a stop signal comes, the terminal is gone or
// the wait itself fails (failure() tells).
//
// Live, the screen thread waits for keys and signals only: new figures are laid out and drawn
// by the sampler thread whose event completes them (events_waiting), which is awake anyway,
// rather than by a wake-up of the screen thread per window. One mutex keeps the two apart:
// the model, the view and the terminal are touched under it alone. Nothing under it waits for
// the terminal: a drawing it does not take is skipped, and the screen thread offers the rest
// again once it can take more.
class Loop {
  public:
    // `notify_fd`: the write end of a pipe whose read end is `wake_fd`.
    Loop(Terminal& terminal, const sigset_t& waiting, int wake_fd, int notify_fd, bool unicode)
        : terminal_(terminal), waiting_(waiting), wake_fd_(wake_fd), notify_fd_(notify_fd) {
        view_.unicode = unicode;
    }

    // Before the collector starts.
    void attach(Collector& collector, std::atomic<std::uint32_t>& window, std::string title) {
        std::lock_guard<std::mutex> lock(mutex_);
        collector_ = &collector;
        window_ = &window;
        view_.title = std::move(title);
    }

    void live() { run(); }

    // The collector's call, on a sampler's thread: events are to be taken and drawn. Nothing is
    // drawn once the loop has ended.
    void events_waiting() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (ended_ || collector_ == nullptr) {
            return;
        }
        update();
        draw();
        // A reopening countdown now on screen, or a drawing the terminal has not taken whole,
        // wakes the screen thread, unless it already wakes by then.
        const int countdown = countdown_timeout(shown(), view_.now);
        const bool late = countdown >= 0 && steady_clock() + countdown / 1000.0 < wakes_at_;
        if (late || (terminal_.output_pending() && !watching_output_)) {
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
                    draw_due_ = false;
                }
                ms = timeout();
                wakes_at_ = ms < 0 ? HUGE_VAL : steady_clock() + ms / 1000.0;
                watching_output_ = terminal_.output_pending();
            }
            if (!wait(ms)) {
                break;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            if (!take_keys()) {
                break;
            }
        }
        std::lock_guard<std::mutex> lock(mutex_);
        ended_ = true;
    }

    // The model shown: live, the collector's, or the copy of it frozen at the pause; in a replay,
    // the recording's at the replay's clock.
    const Model& shown() const {
        if (cursor_ != nullptr) {
            return cursor_->model();
        }
        return !paused_ ? collector_->model() : model_;
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
        view_.now = clock_->playing() ? clock_->now() : cursor_->time();
        view_.status = clock_of(cursor_->time() - cursor_->first_time()) + " / " +
                       clock_of(cursor_->last_time() - cursor_->first_time()) + "  window " +
                       std::to_string(cursor_->moment() + 1) + "/" +
                       std::to_string(cursor_->moments());
        if (cursor_->moment() + 1 == cursor_->moments()) {
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
        // While the terminal has not taken the last drawing whole, this one is skipped.
        if (terminal_.output_pending() && !terminal_.write_pending()) {
            return;
        }
        view_.paused = paused_;
        render_screen(shown(), view_, size, &lines_);
        terminal_.draw(&lines_);
    }

    int timeout() const {
        int ms = -1;
        if (cursor_ != nullptr) {
            double next = 0.0;
            if (!paused_ && cursor_->next_time(&next)) {
                const double wait = std::clamp(next - clock_->now(), 0.0, kLongestReplayWaitS);
                ms = static_cast<int>(std::ceil(wait * 1000.0));
            }
        } else {
            // Live, new figures are drawn by the samplers; the screen wakes by itself only for
            // a reopening countdown on screen.
            ms = countdown_timeout(shown(), view_.now);
        }
        // An Esc waits for what may follow it.
        if (decoder_.escape_pending()) {
            ms = ms < 0 ? kEscapeDelayMs : std::min(ms, kEscapeDelayMs);
        }
        return ms;
    }

    // Waits for a key, a signal, the next timed change, a sampler's call, or the terminal taking
    // more output. False when the run ends.
    bool wait(int ms) {
        pollfd fds[3] = {{terminal_.input_fd(), POLLIN, 0},
                         {wake_fd_, POLLIN, 0},
                         {terminal_.output_fd(), POLLOUT, 0}};
        const nfds_t count = watching_output_ ? 3 : 2;
        timespec limit{ms / 1000, (ms % 1000) * 1000000L};
        const int ready = ppoll(fds, count, ms < 0 ? nullptr : &limit, &waiting_);
        if (g_stop_signal != 0) {
            return false;
        }
        input_ready_ = false;
        timed_out_ = false;
        if (ready < 0) {
            if (errno != EINTR) {
                failure_ = errno;
                return false;
            }
            // A signal: SIGWINCH, the terminal's new size (read under the loop's lock).
            resized_ = true;
            draw_due_ = true;
            return true;
        }
        if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            return false;  // the terminal is gone
        }
        input_ready_ = (fds[0].revents & POLLIN) != 0;
        timed_out_ = ready == 0;
        // A key, a countdown's second or a replay's next event: drawn at once; the terminal
        // taking more: what waited is offered again and the screen drawn anew. A sampler's call
        // only has the wait worked out anew.
        draw_due_ = input_ready_ || timed_out_ || (count == 3 && fds[2].revents != 0);
        if ((fds[1].revents & POLLIN) != 0) {
            drain(wake_fd_);
        }
        return true;
    }

    // Handles the keys typed. False when one quits or the terminal has closed.
    bool take_keys() {
        if (resized_) {
            terminal_.read_size();
            resized_ = false;
        }
        keys_.clear();
        if (input_ready_) {
            input_.clear();
            if (!terminal_.read_input(&input_)) {
                return false;  // end of file on the terminal
            }
            decoder_.feed(input_.data(), input_.size(), &keys_);
        } else if (timed_out_ && decoder_.escape_pending()) {
            decoder_.timeout(&keys_);
        }
        for (const int key : keys_) {
            if (!handle(action_for_key(key))) {
                return false;
            }
        }
        return true;
    }

    bool handle(Action action) {
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
                toggle_pause();
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
                break;
        }
        return true;
    }

    // Live, the model is frozen as it is (the samplers go on); a replay's clock stops.
    void toggle_pause() {
        paused_ = !paused_;
        if (collector_ == nullptr) {
            clock_->play(!paused_);
            return;
        }
        if (paused_) {
            model_ = collector_->model();
        }
        collector_->set_paused(paused_);
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
    bool watching_output_ = false;  // the screen thread waits for the terminal to take more
    Collector* collector_ = nullptr;
    std::atomic<std::uint32_t>* window_ = nullptr;
    ReplayCursor* cursor_ = nullptr;
    std::unique_ptr<ReplayClock> clock_;
    Model model_;  // live: the model frozen at the pause
    ViewState view_;
    std::vector<Line> lines_;  // the screen being laid out; the last one's storage serves again
    KeyDecoder decoder_;
    std::string input_;
    std::vector<int> keys_;
    bool paused_ = false;
    bool draw_due_ = true;      // the next turn draws
    bool input_ready_ = false;  // the terminal was readable
    bool timed_out_ = false;    // the wait ended by itself
    bool resized_ = false;      // SIGWINCH came: the terminal's size is to be read
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

// Whether the terminal takes UTF-8: the locale's character set, from the environment.
bool utf8_locale() {
    std::setlocale(LC_CTYPE, "");
    const char* codeset = nl_langinfo(CODESET);
    return codeset != nullptr && std::strcmp(codeset, "UTF-8") == 0;
}

// The keys, after the usage listing of -h.
void print_keys(int, const char**) {
    std::printf(
        "\nKeys: q or Ctrl-C quit (Esc too, except in the single-core view); space pauses;\n"
        "+ and - make the window 100 ms longer or shorter; the arrows and Tab choose a core;\n"
        "Enter shows the chosen core alone (Enter or Esc goes back); in a replay [ and ] step\n"
        "one window back and forward (left and right too while paused); h or ? lists them.\n");
}

// What a live run needs before the screen opens: the board's cores and the recording's file.
// False, with the reason in `why`.
bool prepare_live(const TopParams& params, Board* board, std::vector<CoreTarget>* cores,
                  RecordingWriter* recording, std::string* why) {
    // The board's cores, by the SoC rules; the SoC id is read once for the whole run.
    return discover_cores(params.cdsp_index, board, cores, why) &&
           (params.record.empty() || recording->open(params.record, why));
}

// The options, checked: 1 to go on, otherwise the run's status (0 after -h).
int read_options(int argc, const char** argv, TopParams* params) {
    const CommandLine parsed = parse_program_command_line("kestrel-top: ", argc, argv,
                                                          top_options_init, params, print_keys);
    if (parsed != CommandLine::kRun) {
        return parsed == CommandLine::kHelpShown ? 0 : -1;
    }
    std::string why;
    if (!check_top_params(*params, &why)) {
        error(why);
        return -1;
    }
    return 1;
}

// What the run shows, once everything is ready: a replay, or the board's cores sampled.
struct Source {
    Recording replayed;
    Board board;
    std::vector<CoreTarget> cores;
    RecordingWriter recording;
};

// The screen up, until the run ends; the screen closed then.
int show(const TopParams& params, const sigset_t& waiting, Source& source) {
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
    std::string why;
    if (!terminal.open(STDOUT_FILENO, colour_wanted(params), &why)) {
        error(why);
        return -1;
    }
    const bool unicode = !params.ascii && utf8_locale();
    Loop loop(terminal, waiting, notify[0], notify[1], unicode);
    if (!params.replay.empty()) {
        ReplayCursor cursor(source.replayed);
        loop.replay(cursor, "replay " + base_name(params.replay));
        terminal.close();
        return end_of_run(loop, nullptr);
    }
    std::atomic<std::uint32_t> window{static_cast<std::uint32_t>(params.sample_time)};
    const Board& board = source.board;
    Collector collector(source.cores, board.legacy(), &window,
                        params.record.empty() ? nullptr : &source.recording,
                        [&loop] { loop.events_waiting(); });
    loop.attach(collector, window, board.soc_name + " (soc " + std::to_string(board.soc_id) + ")");
    collector.start();
    loop.live();
    // The samplers end first (every session closed, every group released), then the screen.
    collector.stop();
    terminal.close();
    return end_of_run(loop, &source.recording);
}

}  // namespace

int top_run(int argc, const char** argv) {
    sigset_t waiting;
    if (!take_signals(&waiting)) {
        error("cannot set up the signals");
        return -1;
    }
    TopParams params;
    const int options = read_options(argc, argv, &params);
    if (options != 1) {
        return options;
    }
    // Everything is checked before the screen opens, so that what is wrong is told on the
    // terminal's own screen: a recording is read whole (a malformed line is told at once), or
    // the board, its cores and the recording's file are made ready.
    Source source;
    std::string why;
    if (!params.replay.empty()
            ? !source.replayed.load(params.replay, &why)
            : !prepare_live(params, &source.board, &source.cores, &source.recording, &why)) {
        error(why);
        return -1;
    }
    if (!isatty(STDOUT_FILENO)) {
        error(
            "standard output is not a terminal; for scripts, kestrel-exporter --once prints "
            "one sample of every core");
        return kNotATerminal;
    }
    return show(params, waiting, source);
}

}  // namespace vorlix::kestrel::top
