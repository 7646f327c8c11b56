// kestrel-doctor: why kestrel cannot monitor this board, and what to do.
#include <cstdio>

#include "cpu/doctor/doctor_run.h"
#include "cpu/output.h"

int main(int argc, char** argv) {
    if (vorlix::kestrel::prepare_standard_streams() < 0) {
        std::perror("kestrel-doctor: standard streams");
        return vorlix::kestrel::doctor::kCheckFailed;
    }
    return vorlix::kestrel::doctor::doctor_run(argc, const_cast<const char**>(argv));
}
