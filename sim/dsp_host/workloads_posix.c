/* The DSP host's clients on this machine: the workloads of its domain (sim_workload.h). The host
 * waits for the application side's next request and, meanwhile, for workloads that appear in
 * the domain's folder and for the links of those it knows, so that a workload's start and end
 * are taken when they happen, not at the next request. */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include "host.h"
#include "runtime.h"
#include "sim_workload.h"
#include "workloads_posix.h"

typedef struct workload_link {
    int fd; /* -1: free */
    int client;
} workload_link;

static struct {
    int started;
    int dir_fd;
    int notify_fd;
    workload_link links[DSP_MAX_CLIENTS];
} w = {0, -1, -1, {{0, 0}}};

static void trace_workload(const char* event, const char* name, int client) {
    if (!dsp_rt_tracing())
        return;
    dsp_trace_line t;
    dsp_trace_begin(&t, "workload");
    dsp_trace_str(&t, "event", event, 16);
    dsp_trace_str(&t, "name", name, 256);
    dsp_trace_int(&t, "client", client);
    dsp_trace_end(&t);
}

/* Creates the folder and those above it that are missing; 0 when it exists afterwards. */
static int make_dirs(const char* path) {
    char partial[4096];
    const size_t len = strlen(path);
    if (len == 0 || len >= sizeof partial)
        return -1;
    memcpy(partial, path, len + 1);
    for (size_t i = 1; i <= len; ++i) {
        if (partial[i] != '/' && partial[i] != '\0')
            continue;
        const char kept = partial[i];
        partial[i] = '\0';
        const int made = mkdir(partial, 0777) == 0 || errno == EEXIST;
        partial[i] = kept;
        if (!made)
            return -1;
    }
    return 0;
}

/* Parses a workload's text into steps; their count, or -1 when malformed. */
static int parse_steps(char* text, uint64_t* start_ns, dsp_client_step* steps) {
    char* save = NULL;
    char* line = strtok_r(text, "\n", &save);
    if (line == NULL || strcmp(line, SIM_WORKLOAD_HELLO) != 0)
        return -1;
    line = strtok_r(NULL, "\n", &save);
    unsigned long long start = 0;
    if (line == NULL || sscanf(line, "start %llu", &start) != 1)
        return -1;
    *start_ns = start;
    int n = 0;
    while ((line = strtok_r(NULL, "\n", &save)) != NULL) {
        if (strcmp(line, "end") == 0)
            return n > 0 ? n : -1;
        unsigned long long length = 0;
        dsp_client_step s;
        if (n == DSP_MAX_CLIENT_STEPS ||
            sscanf(line, "step %llu %lf %lf %lf", &length, &s.core, &s.hvx, &s.hmx) != 4 ||
            !(s.core >= 0.0 && s.core <= 1.0 && s.hvx >= 0.0 && s.hvx <= 1.0 && s.hmx >= 0.0 &&
              s.hmx <= 1.0)) {
            return -1;
        }
        s.length_ns = length;
        steps[n++] = s;
    }
    return -1;
}

/* Reads the workload's text, up to its "end" line; 0, or -1 when it does not come whole within
 * a moment (a workload that hangs must not hold the DSP up). */
static int read_text(int fd, char* text, size_t size) {
    const struct timeval wait = {0, 500000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    size_t len = 0;
    while (len + 1 < size) {
        const ssize_t n = recv(fd, text + len, size - 1 - len, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        len += (size_t)n;
        text[len] = '\0';
        if (len >= 4 && strcmp(text + len - 4, "end\n") == 0)
            return 0;
    }
    return -1;
}

/* Connects to the workload NAME of the folder and takes its load on. */
static void take_workload(const char* name) {
    const size_t len = strlen(name);
    const size_t suffix = sizeof SIM_WORKLOAD_SUFFIX - 1;
    if (name[0] == '.' || len <= suffix || strcmp(name + len - suffix, SIM_WORKLOAD_SUFFIX) != 0)
        return;
    workload_link* slot = NULL;
    for (int i = 0; i < DSP_MAX_CLIENTS && slot == NULL; ++i)
        slot = w.links[i].fd < 0 ? &w.links[i] : NULL;
    if (slot == NULL)
        return;
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    /* The folder may lie deeper than a socket address holds: it is reached by its descriptor. */
    const int n =
        snprintf(addr.sun_path, sizeof addr.sun_path, "/proc/self/fd/%d/%s", w.dir_fd, name);
    if (n < 0 || (size_t)n >= sizeof addr.sun_path)
        return;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    if (connect(fd, (const struct sockaddr*)&addr, sizeof addr) != 0) {
        /* Nobody listens: a workload that was killed left its socket behind. */
        if (errno == ECONNREFUSED)
            unlinkat(w.dir_fd, name, 0);
        close(fd);
        return;
    }
    char text[SIM_WORKLOAD_MAX_TEXT];
    dsp_client_step steps[DSP_MAX_CLIENT_STEPS];
    uint64_t start_ns = 0;
    int count = read_text(fd, text, sizeof text) == 0 ? parse_steps(text, &start_ns, steps) : -1;
    const int client = count > 0 ? dsp_rt_client_begin(start_ns, steps, (uint32_t)count) : -1;
    trace_workload("begin", name, client);
    if (client < 0) {
        close(fd);
        return;
    }
    slot->fd = fd;
    slot->client = client;
}

static void start_watching(const char* domain) {
    w.started = 1;
    for (int i = 0; i < DSP_MAX_CLIENTS; ++i)
        w.links[i].fd = -1;
    const char* base = getenv(SIM_WORKLOADS_ENV);
    if (base == NULL || base[0] == '\0' || domain[0] == '.' || strchr(domain, '/') != NULL)
        return;
    char path[4096];
    const int n = snprintf(path, sizeof path, "%s/%s", base, domain);
    if (n < 0 || (size_t)n >= sizeof path || make_dirs(path) != 0)
        return;
    w.dir_fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    w.notify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (w.dir_fd < 0 || w.notify_fd < 0 ||
        inotify_add_watch(w.notify_fd, path, IN_MOVED_TO | IN_CREATE) < 0) {
        return;
    }
    /* Workloads that already run; those that come later are told by inotify. */
    const int list_fd = dup(w.dir_fd);
    DIR* dir = list_fd >= 0 ? fdopendir(list_fd) : NULL;
    if (dir == NULL) {
        if (list_fd >= 0)
            close(list_fd);
        return;
    }
    for (struct dirent* e; (e = readdir(dir)) != NULL;)
        take_workload(e->d_name);
    closedir(dir);
}

static void read_notifications(void) {
    _Alignas(struct inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = read(w.notify_fd, buffer, sizeof buffer);
        if (n <= 0)
            return;
        for (ssize_t at = 0; at < n;) {
            const struct inotify_event* e = (const struct inotify_event*)(buffer + at);
            if (e->len > 0)
                take_workload(e->name);
            at += (ssize_t)(sizeof *e + e->len);
        }
    }
}

/* A link that became readable has closed (a workload writes nothing after its steps). */
static void link_event(workload_link* link) {
    char byte;
    const ssize_t n = recv(link->fd, &byte, 1, MSG_DONTWAIT);
    if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR)))
        return;
    dsp_rt_client_end(link->client, dsp_plat_now_ns());
    trace_workload("end", "", link->client);
    close(link->fd);
    link->fd = -1;
}

void dsp_workloads_wait(int fd) {
    if (!w.started) {
        const char* domain = dsp_rt_domain();
        if (domain[0] == '\0')
            return; /* not configured yet */
        start_watching(domain);
    }
    if (w.notify_fd < 0)
        return;
    for (;;) {
        struct pollfd fds[2 + DSP_MAX_CLIENTS];
        workload_link* owners[2 + DSP_MAX_CLIENTS];
        nfds_t count = 0;
        fds[count++] = (struct pollfd){fd, POLLIN, 0};
        fds[count++] = (struct pollfd){w.notify_fd, POLLIN, 0};
        for (int i = 0; i < DSP_MAX_CLIENTS; ++i) {
            if (w.links[i].fd >= 0) {
                owners[count] = &w.links[i];
                fds[count++] = (struct pollfd){w.links[i].fd, POLLIN, 0};
            }
        }
        if (poll(fds, count, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents != 0)
            read_notifications();
        for (nfds_t i = 2; i < count; ++i) {
            if (fds[i].revents != 0)
                link_event(owners[i]);
        }
        if (fds[0].revents != 0)
            return;
    }
}
