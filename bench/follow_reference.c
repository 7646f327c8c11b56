/* The bare reference of a follow run: per pass exactly what kestrel's --follow --all does
 * besides its remote calls, the sampling window's sleep, one write of a report of the same
 * shape and the pause between samples; until SIGINT or SIGTERM.
 *
 *   follow_reference WINDOW_MS INTERVAL_MS */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static volatile sig_atomic_t g_run = 1;

static void stop(int signo) {
    (void)signo;
    g_run = 0;
}

static void sleep_ms(unsigned long ms) {
    struct timespec t;
    t.tv_sec = (time_t)(ms / 1000u);
    t.tv_nsec = (long)((ms % 1000u) * 1000000u);
    nanosleep(&t, NULL);
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: follow_reference WINDOW_MS INTERVAL_MS\n");
        return 2;
    }
    const unsigned long window = strtoul(argv[1], NULL, 10);
    const unsigned long interval = strtoul(argv[2], NULL, 10);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = stop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, NULL);
    sigaction(SIGTERM, &sa, NULL);
    char report[512];
    while (g_run) {
        sleep_ms(window);
        const int n = snprintf(report, sizeof report,
                               "dsp arch: V75\n"
                               "dsp current freq: %f (MHz), current sample time(ms): %f\n"
                               "qdsp6 utilization: %f (%%)\n"
                               "hvx utilization: %f (%%)\n"
                               "hmx utilization: %f (%%)\n",
                               1000.0, (double)window, 45.0, 25.0, 12.0);
        if (write(STDOUT_FILENO, report, (size_t)n) < 0 && errno != EINTR)
            return 1;
        sleep_ms(interval);
    }
    return 0;
}
