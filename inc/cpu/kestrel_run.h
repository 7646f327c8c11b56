// Entry and run driver of the monitor.
#pragma once

#include <atomic>

#include "cpu/cmdline_user.h"
#include "cpu/data_analyzer.h"
#include "cpu/dsp_utils.h"

// Cleared by SIGINT to end a follow run; set by kestrel_run before the handler is installed.
extern std::atomic<bool> g_is_loop_run;

// SIGINT handler: stores false into g_is_loop_run; any other signal number is ignored.
void signal_handler(int signo);

// Appends the DSP library directories to ADSP_LIBRARY_PATH. 0 on success, -1 on failure.
int set_dsp_env();

// The local mode: prints one information line and returns 0.
int run_local_mode(int sample_time);

// One complete run of the monitor: 0 on success, -1 on failure.
int kestrel_run(int argc, const char** argv);

// Prints the domain array as the --query_info report; returns 0.
int print_dsp_info(vorlix::kestrel::DspDomainArray& domains);

// One sampling cycle: take a sample, analyse it and print what the options select. 0, or -1
// when the sample failed.
int sample_and_analyze_one_times(vorlix::kestrel::DataAnalyzer& analyzer,
                                 cmdline_user_params& params);
