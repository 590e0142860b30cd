/*
 * Linked into the header-check programs: before main, the process moves
 * into an IPC namespace of its own, so the trace call it makes never
 * reaches the machine's trace objects.
 */
#define _GNU_SOURCE
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

__attribute__((constructor)) static void isolate_ipc(void) {
    if (unshare(geteuid() == 0 ? CLONE_NEWIPC : CLONE_NEWUSER | CLONE_NEWIPC) != 0) {
        perror("entering a fresh IPC namespace was refused: unshare");
        exit(EXIT_FAILURE);
    }
}
