#include <cstdio>

#include "cpu/kestrel_run.h"
#include "cpu/output.h"

int main(int argc, char** argv) {
    if (vorlix::kestrel::prepare_standard_streams() < 0) {
        std::perror("kestrel: standard streams");
        return -1;
    }
    if (set_dsp_env() < 0) {
        return vorlix::kestrel::finish_output(-1);
    }
    return vorlix::kestrel::finish_output(kestrel_run(argc, const_cast<const char**>(argv)));
}
