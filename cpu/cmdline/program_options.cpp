// The command line every program of the package beside kestrel shares.
#include "cpu/program_options.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "cpu/config.h"
#include "cpu/output.h"

namespace vorlix::kestrel {

namespace {

// The program that --version names; an option's action cannot carry it.
const char* g_version_program = "kestrel";

}  // namespace

my_utils::CMDLineElement program_version_option(const char* program) {
    g_version_program = program;
    my_utils::CMDLineElement version =
        my_utils::make_option("--version", nullptr, "print version and build info");
    version.on_flag = [](my_utils::CMDLineParams&) {
        print_program_version(g_version_program);
        std::exit(finish_output(0));
    };
    return version;
}

CommandLine parse_program_command_line(const char* error_prefix, int argc, const char** argv,
                                       std::function<void(my_utils::CMDLineContext&)> init,
                                       void* params, my_utils::UsageCallback usage) {
    my_utils::ArgumentParser parser(std::move(init));
    my_utils::CMDLineParams cmdline;
    cmdline.user_param = params;
    if (!parser.cmdline_params_parse(argc, argv, cmdline, usage)) {
        std::fprintf(stderr, "%sinvalid command line (-h lists the options)\n", error_prefix);
        return CommandLine::kInvalid;
    }
    return cmdline.usage ? CommandLine::kHelpShown : CommandLine::kRun;
}

}  // namespace vorlix::kestrel
