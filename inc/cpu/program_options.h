// What the package's programs beside kestrel (kestrel-exporter, kestrel-top, kestrel-doctor,
// kestrel-stat) share on their command line: the --version option, and the parse with its one
// error line.
#pragma once

#include <functional>

#include "cpu/cmdline.h"

namespace vorlix::kestrel {

// "--version": prints "PROGRAM version V..." with the build date and commit, and ends the
// process with 0.
my_utils::CMDLineElement program_version_option(const char* program);

enum class CommandLine {
    kRun,        // parsed: the program runs
    kHelpShown,  // -h: the listing is printed, the run ends with success
    kInvalid,    // told on standard error
};

// Parses `argv` with the toolkit, the program's options being those `init` registers, into the
// record `params` points at; `usage` is printed after the listing of -h (may be null). An invalid
// command line is told on standard error, after the toolkit's own message, as the program tells
// its errors: `error_prefix` (such as "kestrel-top: ") and "invalid command line (-h lists the
// options)".
CommandLine parse_program_command_line(const char* error_prefix, int argc, const char** argv,
                                       std::function<void(my_utils::CMDLineContext&)> init,
                                       void* params, my_utils::UsageCallback usage);

}  // namespace vorlix::kestrel
