// kestrel-stat's run driver: the command line, the board's cores, the samplers, the command (or
// the process, or the time) measured, and the summary with its exports.
#pragma once

namespace vorlix::kestrel::stat {

// The exit status: the command's (128+N when signal N ended it; 127 or 126 when it cannot be
// run), 0 for --pid, --duration and --replay, and -1 (255) when kestrel-stat itself fails.
int stat_run(int argc, const char** argv);

}  // namespace vorlix::kestrel::stat
