/*
 * Fault injection for the black-box tests, loaded with LD_PRELOAD.
 *
 * VORQ_FAULT names one call that is to fail: "fdopen" (write streams
 * only), "fchmod", "fsync", "fclose" (write streams only: the stream is
 * really closed, then EOF is returned), or "getline" (any line read).
 * "NAME:N" lets the first N calls succeed.  Every other call passes
 * straight through.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

/* True when this call of `name` is to fail; `calls` counts its calls. */
static int fault_due(const char *name, unsigned *calls) {
    const char *wanted = getenv("VORQ_FAULT");
    size_t n = strlen(name);
    if (wanted == NULL || strncmp(wanted, name, n) != 0 || (wanted[n] != '\0' && wanted[n] != ':')) return 0;
    unsigned spared = wanted[n] == ':' ? (unsigned)strtoul(wanted + n + 1, NULL, 10) : 0;
    return ++*calls > spared;
}

static void *next(const char *name) {
    void *fn = dlsym(RTLD_NEXT, name);
    if (fn == NULL) abort();
    return fn;
}

static int writable(FILE *fp) {
    int flags = fcntl(fileno(fp), F_GETFL);
    return flags >= 0 && (flags & O_ACCMODE) != O_RDONLY;
}

EXPORT FILE *fdopen(int fd, const char *mode) {
    static unsigned calls;
    if (mode[0] != 'r' && fault_due("fdopen", &calls)) {
        errno = ENOMEM;
        return NULL;
    }
    return ((FILE * (*)(int, const char *)) next("fdopen"))(fd, mode);
}

EXPORT int fchmod(int fd, mode_t mode) {
    static unsigned calls;
    if (fault_due("fchmod", &calls)) {
        errno = EPERM;
        return -1;
    }
    return ((int (*)(int, mode_t))next("fchmod"))(fd, mode);
}

EXPORT int fsync(int fd) {
    static unsigned calls;
    if (fault_due("fsync", &calls)) {
        errno = EIO;
        return -1;
    }
    return ((int (*)(int))next("fsync"))(fd);
}

EXPORT int fclose(FILE *fp) {
    static unsigned calls;
    int fail = writable(fp) && fault_due("fclose", &calls);
    int rc = ((int (*)(FILE *))next("fclose"))(fp);
    if (!fail) return rc;
    errno = EIO;
    return EOF;
}

/* Optimised builds reach getline through glibc's inline wrapper, which
 * calls __getdelim; all three entry points share one count. */
static unsigned line_calls;

static ssize_t read_line(const char *real, char **line, size_t *capacity, int delim, FILE *fp) {
    if (fault_due("getline", &line_calls)) {
        errno = EIO;
        return -1;
    }
    return ((ssize_t(*)(char **, size_t *, int, FILE *))next(real))(line, capacity, delim, fp);
}

EXPORT ssize_t getline(char **line, size_t *capacity, FILE *fp) {
    return read_line("getdelim", line, capacity, '\n', fp);
}

EXPORT ssize_t getdelim(char **line, size_t *capacity, int delim, FILE *fp) {
    return read_line("getdelim", line, capacity, delim, fp);
}

EXPORT ssize_t __getdelim(char **line, size_t *capacity, int delim, FILE *fp) {
    return read_line("__getdelim", line, capacity, delim, fp);
}
