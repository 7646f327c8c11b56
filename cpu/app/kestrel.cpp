#include <cstdio>

#include "cpu/kestrel_run.h"

int main(int argc, char** argv) {
    // Line-buffered standard output, so that every line reaches a pipe or a file when it is
    // printed, in order with what goes to the unbuffered standard error.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    if (set_dsp_env() < 0) {
        return -1;
    }
    return kestrel_run(argc, const_cast<const char**>(argv));
}
