// Standard streams of the monitor: set up at start, standard output flushed once per report, and
// write failures turned into the run's outcome.
#pragma once

namespace vorlix::kestrel {

// What became of standard output so far.
enum class OutputState {
    kOk,          // every report was written
    kReaderGone,  // a pipe's reader went away (EPIPE): the run ends as Ctrl-C ends it
    kFailed,      // any other write error (full disk, I/O error): the run fails
};

// Run first in main, before anything opens a file: descriptors 0, 1 and 2 that are closed are
// opened onto /dev/null (so no later file takes their place), standard output becomes fully
// buffered, and SIGPIPE is ignored so that a vanished reader shows up as EPIPE. 0, or -1 when
// the streams cannot be set up.
int prepare_standard_streams();

// Ends a report: writes what standard output holds. The first failure other than a vanished
// reader is reported on standard error as "kestrel: write error: TEXT". After any failure the
// rest of the run's output is discarded. Returns the state after this flush; a failure stays.
OutputState end_report();

// The process's exit status for a run that returned `status`: ends the last report and turns a
// run that wrote its output into a failure (-1) when writing failed for any other reason than a
// vanished reader.
int finish_output(int status);

// Whether a program may colour what it shows: the NO_COLOR variable unset or empty.
bool colour_allowed();

}  // namespace vorlix::kestrel
