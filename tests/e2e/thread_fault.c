/* Preloaded into a program under test: while the file named by KESTREL_TEST_THREAD_FAULT exists,
 * every pthread_create fails with EAGAIN, as when the system is out of threads. A file that
 * holds "once" is removed at the first failure, so that only one creation fails. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

typedef int (*create_fn)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                   void* arg) {
    static create_fn real;
    if (real == NULL) {
        *(void**)(&real) = dlsym(RTLD_NEXT, "pthread_create");
    }
    const char* flag = getenv("KESTREL_TEST_THREAD_FAULT");
    FILE* file = flag != NULL ? fopen(flag, "r") : NULL;
    if (file == NULL) {
        return real(thread, attr, start, arg);
    }
    char text[8] = {0};
    const size_t got = fread(text, 1, sizeof text - 1, file);
    fclose(file);
    if (got >= 4 && strncmp(text, "once", 4) == 0) {
        unlink(flag);
    }
    return EAGAIN;
}
