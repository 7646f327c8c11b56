// Runs a program as a child process and captures what it prints and how it ends, for tests
// that check a real binary's standard output, standard error and exit status.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace kestrel_test {

struct ProcessOptions {
    // Variables to set ("NAME=VALUE") and to remove, on top of the test's own environment.
    std::vector<std::string> env_set;
    std::vector<std::string> env_unset;
    // Working directory of the child; empty keeps the test's.
    std::string cwd;
    // SIGINT is sent to the child's process group (as a terminal's Ctrl-C would) after each of
    // these delays, counted from the start.
    std::vector<std::chrono::milliseconds> sigint_after;
    // SIGINT is sent to the process group as soon as standard output has contained this text
    // this many times (0 turns it off).
    std::string sigint_on_output;
    int sigint_on_output_count = 0;
    // Delay between the text appearing and the SIGINT.
    std::chrono::milliseconds sigint_on_output_delay{0};
    // Further signals, each sent once, `delay` after a file (named by `after_file`) first
    // exists and is not empty, or after the start when `after_file` is empty: to the child's
    // process group as a terminal sends Ctrl-C or a hangup, or to the child alone as `kill PID`
    // does.
    struct Signal {
        int number;
        bool group;
        std::chrono::milliseconds delay;
        std::string after_file;
    };
    std::vector<Signal> signals;
    // The child is killed (and the test fails on the result's timed_out) after this long.
    std::chrono::milliseconds timeout{60000};
};

struct ProcessResult {
    std::string out;
    std::string err;
    int exit_code = -1;  // exit status when the child exited normally
    int signal = 0;      // terminating signal, 0 when it exited normally
    bool timed_out = false;
};

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& opts = {});

// Splits text into lines without their line ends; a final line end adds no empty line.
std::vector<std::string> split_lines(const std::string& text);

}  // namespace kestrel_test
