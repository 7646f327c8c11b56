// An application of the simulated libadsprpc.so for the process-level tests. It links the
// library like kestrel does, and the environment chooses the board, trace and DSP host.
//   sim_probe exit-open   open a session, register a PMU group, exit(3) with both still held
//   sim_probe sigint      open, print "ready", wait for SIGINT, then invoke again and close
//   sim_probe vanish      open, then die at once by SIGKILL
//   sim_probe log         call HAP_debug_runtime (when the library has it), print "done"
//   sim_probe crash       through a crash of the DSP (the board's first remoteproc): open and
//                         invoke, wait for the state file to read "crashed", invoke, open and
//                         close; wait for "running", open, invoke and close; print each result
//                         and, last, the sysfs tree the process saw
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "fastrpc/fastrpc_client.h"

namespace {

std::atomic<bool> g_interrupted{false};

void on_sigint(int) {
    g_interrupted = true;
}

const char kUri[] = "file:///libsim_test_skel.so?test_skel_invoke&_modver=1.0&_dom=cdsp";

int echo(remote_handle64 h) {
    char in[] = "abc";
    char out[3] = {0, 0, 0};
    remote_arg args[2];
    args[0].buf = {in, 3};
    args[1].buf = {out, 3};
    int r = remote_handle64_invoke(h, remote_scalars_make(7, 1, 1, 0, 0), args);
    return r != 0 ? r : (std::memcmp(out, "cba", 3) == 0 ? 0 : -100);
}

std::string dsp_state() {
    std::ifstream in("/sys/class/remoteproc/remoteproc0/state");
    std::string state;
    std::getline(in, state);
    return state;
}

// Waits (10 s at most) for the state file to read `state`; prints what it read last.
void await_state(const std::string& state) {
    for (int i = 0; i < 1000 && dsp_state() != state; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::printf("state %s\n", dsp_state().c_str());
}

int crash() {
    std::printf("state %s\n", dsp_state().c_str());
    remote_handle64 h = 0;
    std::printf("open 0x%x\n", static_cast<unsigned>(remote_handle64_open(kUri, &h)));
    std::printf("echo 0x%x\n", static_cast<unsigned>(echo(h)));
    await_state("crashed");
    remote_handle64 again = 0;
    std::printf("echo 0x%x\n", static_cast<unsigned>(echo(h)));
    std::printf("open 0x%x\n", static_cast<unsigned>(remote_handle64_open(kUri, &again)));
    std::printf("close 0x%x\n", static_cast<unsigned>(remote_handle64_close(h)));
    await_state("running");
    std::printf("open 0x%x\n", static_cast<unsigned>(remote_handle64_open(kUri, &h)));
    std::printf("echo 0x%x\n", static_cast<unsigned>(echo(h)));
    std::printf("close 0x%x\n", static_cast<unsigned>(remote_handle64_close(h)));
    const char* tree = std::getenv("UMOCKDEV_DIR");
    std::printf("tree %s\n", tree != nullptr ? tree : "");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    const std::string mode = argv[1];
    if (mode == "log") {
        if (HAP_debug_runtime != nullptr) {
            HAP_debug_runtime(3, "probe", 7, "value %d of %s", 5, "probe");
        }
        std::printf("done\n");
        return 0;
    }
    if (mode == "crash") {
        return crash();
    }
    remote_handle64 h = 0;
    int r = remote_handle64_open(kUri, &h);
    if (r != 0) {
        std::printf("open failed 0x%x\n", static_cast<unsigned>(r));
        return 1;
    }
    if (mode == "exit-open") {
        uint8_t sample[32] = {};
        remote_arg arg;
        arg.buf = {sample, sizeof sample};
        r = remote_handle64_invoke(h, remote_scalars_make(11, 0, 1, 0, 0), &arg);
        std::printf("sample %d\n", r);
        std::fflush(stdout);
        std::exit(3);
    }
    if (mode == "vanish") {
        std::printf("opened\n");
        std::fflush(stdout);
        ::kill(::getpid(), SIGKILL);
        return 1;
    }
    if (mode == "sigint") {
        struct sigaction sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sa_handler = on_sigint;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, nullptr);
        std::printf("ready\n");
        std::fflush(stdout);
        for (int i = 0; i < 500 && !g_interrupted; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::printf("interrupted %d\n", g_interrupted ? 1 : 0);
        // Give the DSP time to act on the signal, were it not ignoring it.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::printf("echo %d\n", echo(h));
        std::printf("close %d\n", remote_handle64_close(h));
        return 0;
    }
    return 2;
}
