// kestrel-top on the virtual board in a real terminal: a private tmux server runs it through the
// board runner from a shell, which afterwards prints the program's status and the terminal's
// settings; the test types keys, resizes the window, signals the program and reads the screen.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <sys/types.h>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace top_test {

class TopInTmux {
  public:
    // Starts kestrel-top (or `program`) with `args` on `board` in a terminal of `columns` x
    // `rows`, in a UTF-8 locale, with the variables of `env` ("NAME=VALUE") set.
    TopInTmux(const std::string& board, const std::vector<std::string>& args, int columns = 80,
              int rows = 24, const std::string& program = KESTREL_TOP_BIN,
              const std::vector<std::string>& env = {});
    ~TopInTmux();
    TopInTmux(const TopInTmux&) = delete;
    TopInTmux& operator=(const TopInTmux&) = delete;

    // The screen as text, one line per row (with the escape sequences of its colours and
    // attributes: `with_attributes`).
    std::string screen(bool with_attributes = false) const;
    // Polls the screen until `ready` holds for it or `deadline` passes; true when it held. The
    // last screen is kept for the failure message.
    bool wait_for(const std::function<bool(const std::string&)>& ready,
                  std::chrono::milliseconds deadline = std::chrono::milliseconds(kDeadlineMs));
    bool wait_for_text(const std::string& text,
                       std::chrono::milliseconds deadline = std::chrono::milliseconds(kDeadlineMs));
    const std::string& last_screen() const { return last_; }

    // tmux key names ("q", "Tab", "Escape", "C-c", " " ...), sent in order.
    void keys(const std::vector<std::string>& names);
    // Bytes as the terminal would send them, whatever mode the program set ("1b 5b 42").
    void raw_keys(const std::string& hex);
    void resize(int columns, int rows);
    // Sends `signo` to the program alone.
    void signal(int signo);

    // Waits for the program's end: its status (-1 when the shell did not report one), the
    // terminal's settings after it, and the run's trace.
    struct End {
        int status = -1;
        std::string stty;    // stty -a after the program
        std::string screen;  // the screen then
        e2e::BoardRun run;   // the trace (result.exit_code is the status)
    };
    End finish();

    const std::string& dir() const { return dir_; }

    // Readiness deadline: generous for the emulated build, still seconds.
#if KESTREL_E2E_CROSS
    static constexpr int kDeadlineMs = 60000;
#else
    static constexpr int kDeadlineMs = 10000;
#endif

  private:
    std::vector<std::string> tmux(const std::vector<std::string>& args) const;
    std::string run_tmux(const std::vector<std::string>& args) const;

    std::string socket_;
    std::string dir_;
    std::string last_;
};

// kestrel-top on the virtual board in a terminal of its own (a pty) that the test reads or stops
// reading: the bytes the program writes, and what happens when the terminal no longer takes them.
class TopInPty {
  public:
    TopInPty(const std::string& board, const std::vector<std::string>& args, int columns = 80,
             int rows = 24);
    ~TopInPty();
    TopInPty(const TopInPty&) = delete;
    TopInPty& operator=(const TopInPty&) = delete;

    // Reads what the program writes until `ready` holds for all of it so far or `deadline`
    // passes; true when it held.
    bool read_until(const std::function<bool(const std::string&)>& ready,
                    std::chrono::milliseconds deadline);
    const std::string& output() const { return output_; }
    // Whether the terminal takes no more output: a byte written to it now would wait.
    bool full() const;
    // The terminal's new size (the program gets SIGWINCH).
    void resize(int columns, int rows);
    void signal(int signo);
    // Waits up to `deadline` for the program's end, still not reading; its status, or -1.
    int wait(std::chrono::milliseconds deadline);
    // The run's trace, once it has ended.
    e2e::BoardRun run() const;
    pid_t pid() const { return pid_; }

  private:
    int master_ = -1;
    pid_t pid_ = -1;
    std::string dir_;
    std::string output_;
};

// The utilisations shown for `domain`: "QDSP6", "HVX", "HMX" to their figures, for each engine
// row the core's panel has.
std::map<std::string, double> figures(const std::string& screen, const std::string& domain);

// The rows of `domain`'s panel (its title and what it holds, to the next panel's title or the
// frame's end), from its own column on.
std::vector<std::string> panel(const std::string& screen, const std::string& domain);

}  // namespace top_test
