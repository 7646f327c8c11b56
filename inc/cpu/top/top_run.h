// kestrel-top's run: options, the board's cores (or a recording), the collector and the screen
// loop; every way out restores the terminal and closes every session.
#pragma once

namespace vorlix::kestrel::top {

// Exit status when standard output is not a terminal.
inline constexpr int kNotATerminal = 2;

// The process's exit status: 0 after a quit (a key, SIGINT, SIGTERM, SIGHUP, the terminal
// closed), kNotATerminal when standard output is not a terminal, -1 (255) when it cannot start.
int top_run(int argc, const char** argv);

}  // namespace vorlix::kestrel::top
