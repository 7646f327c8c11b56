// kestrel-stat: the compute DSP's load over one command's run.
#include <cstdio>

#include "cpu/output.h"
#include "cpu/stat/stat_run.h"

int main(int argc, char** argv) {
    if (vorlix::kestrel::prepare_standard_streams() < 0) {
        std::perror("kestrel-stat: standard streams");
        return -1;
    }
    return vorlix::kestrel::finish_output(
        vorlix::kestrel::stat::stat_run(argc, const_cast<const char**>(argv)));
}
