// The stop signals blocked from the program's first instruction on, before any library's
// constructor runs: an entry of .preinit_array, which the dynamic loader runs first of all the
// initialisers. A SIGINT, SIGTERM or SIGHUP that comes while the program is still starting then
// waits, pending, until the run driver takes it (sigwait) and stops in order, with status 0,
// instead of ending the process by the signal's default action.
#include <signal.h>

namespace {

void block_stop_signals(int, char**, char**) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace

__attribute__((section(".preinit_array"),
               used)) void (*const kestrel_exporter_preinit)(int, char**,
                                                             char**) = &block_stop_signals;
