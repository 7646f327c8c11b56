// Standard streams of the monitor.
#include "cpu/output.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vorlix::kestrel {

namespace {

// Large enough for any report, so that standard output is written only when a report ends.
constexpr std::size_t kOutputBufferSize = 64 * 1024;

OutputState g_state = OutputState::kOk;

// Sends whatever is still to come on descriptor 1 to /dev/null: after a failed write nothing
// more of the run is printed.
void discard_later_output() {
    const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd >= 0) {
        dup2(null_fd, STDOUT_FILENO);
        close(null_fd);
    }
    std::clearerr(stdout);
}

}  // namespace

int prepare_standard_streams() {
    // The closed descriptors are found first and then all filled from one /dev/null: opening a
    // file may itself take more than one descriptor (a preloaded library can attach one of its
    // own to it), so the lowest-free-descriptor rule of open() is not relied on.
    bool closed[STDERR_FILENO + 1] = {};
    bool any_closed = false;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        closed[fd] = fcntl(fd, F_GETFD) == -1 && errno == EBADF;
        any_closed = any_closed || closed[fd];
    }
    if (any_closed) {
        const int null_fd = open("/dev/null", O_RDWR);
        if (null_fd < 0) {
            return -1;
        }
        for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
            if (closed[fd] && fd != null_fd && dup2(null_fd, fd) < 0) {
                return -1;
            }
        }
        if (null_fd > STDERR_FILENO) {
            close(null_fd);
        }
    }
    static char buffer[kOutputBufferSize];
    if (std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer) != 0) {
        return -1;
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    return sigaction(SIGPIPE, &ignore, nullptr) == 0 ? 0 : -1;
}

OutputState end_report() {
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) {
        return g_state;
    }
    const int error = errno != 0 ? errno : EIO;
    discard_later_output();
    if (g_state != OutputState::kOk) {
        return g_state;
    }
    if (error == EPIPE) {
        g_state = OutputState::kReaderGone;
    } else {
        g_state = OutputState::kFailed;
        std::fprintf(stderr, "kestrel: write error: %s\n", std::strerror(error));
    }
    return g_state;
}

int finish_output(int status) {
    return end_report() == OutputState::kFailed ? -1 : status;
}

bool colour_allowed() {
    const char* no_color = std::getenv("NO_COLOR");
    return no_color == nullptr || no_color[0] == '\0';
}

}  // namespace vorlix::kestrel
