// kestrel-exporter: the load of every compute DSP of the board, for Prometheus.
#include <cstdio>

#include "cpu/exporter/exporter_run.h"
#include "cpu/output.h"
#include "cpu/sampling/library_path.h"

int main(int argc, char** argv) {
    if (vorlix::kestrel::prepare_standard_streams() < 0) {
        std::perror("kestrel-exporter: standard streams");
        return -1;
    }
    if (!vorlix::kestrel::extend_dsp_library_path()) {
        std::fprintf(stderr, "[ERROR] [EXPORTER] can't set env for ADSP_LIBRARY_PATH\n");
        return vorlix::kestrel::finish_output(-1);
    }
    return vorlix::kestrel::finish_output(
        vorlix::kestrel::exporter::exporter_run(argc, const_cast<const char**>(argv)));
}
