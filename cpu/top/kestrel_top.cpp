// kestrel-top: every compute-DSP core of the board, live in the terminal.
#include <cstdio>

#include "cpu/output.h"
#include "cpu/sampling/library_path.h"
#include "cpu/top/top_run.h"

int main(int argc, char** argv) {
    if (vorlix::kestrel::prepare_standard_streams() < 0) {
        std::perror("kestrel-top: standard streams");
        return -1;
    }
    if (!vorlix::kestrel::extend_dsp_library_path()) {
        std::fprintf(stderr, "kestrel-top: can't set env for ADSP_LIBRARY_PATH\n");
        return vorlix::kestrel::finish_output(-1);
    }
    return vorlix::kestrel::finish_output(
        vorlix::kestrel::top::top_run(argc, const_cast<const char**>(argv)));
}
