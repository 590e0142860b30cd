// Guarded sections: while a trace call (or a pointer probe) works on memory
// handed in by its caller, a fault is turned into a return to the section's
// jump point instead of ending the process.
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

#include "facility.h"

namespace xtr {

GuardState guard;

namespace {

// The calling thread's kernel id, looked up once per thread.  A forked
// child starts with the forking thread's copy, so the child clears it.
__attribute__((tls_model("initial-exec"))) thread_local pid_t cachedTid = 0;

void forgetTidInChild() { cachedTid = 0; }

bool busTrapInstalled = false;  // guarded by xtr_mutex_sem
// The SIGSEGV trap was left installed after a section because the action
// before it was the default one.  Guarded by xtr_mutex_sem.
bool segvTrapLeft = false;

bool isDefault(const struct sigaction &a) { return (a.sa_flags & SA_SIGINFO) == 0 && a.sa_handler == SIG_DFL; }

pid_t kernelTid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

const struct sigaction &previousFor(int signum) { return signum == SIGBUS ? guard.ck_oldbus : guard.ck_oldsig; }

// A fault of the thread inside the section returns to its jump point, with
// the signal mask of the jump point restored.  A fault of any other thread
// goes to the action that was in force before the section; an ignored or
// default one ends the process as the default action would, since a
// synchronous fault cannot be ignored.
void trapHandler(int signum, siginfo_t *pSigInfo, void *pVoid) {
    if (guard.pidThis != 0 && guard.pidThis == kernelTid()) {
        guard.iTrap = 1;
        guard.trapSignal = signum;
        siglongjmp(guard.sigjmpenv, 1);
    }
    const struct sigaction &old = previousFor(signum);
    if (old.sa_flags & SA_SIGINFO) {
        if (old.sa_sigaction != nullptr) {
            old.sa_sigaction(signum, pSigInfo, pVoid);
            return;
        }
    } else if (old.sa_handler != SIG_DFL && old.sa_handler != SIG_IGN) {
        old.sa_handler(signum);
        return;
    }
    struct sigaction dfl;
    std::memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigaction(signum, &dfl, nullptr);
    pthread_kill(pthread_self(), signum);
}

}  // namespace

// Registered when the library loads, not on first use: a fork while
// another thread ran a first-use initialisation would leave the child
// waiting for it for ever.
__attribute__((constructor)) static void registerTidReset() { pthread_atfork(nullptr, nullptr, forgetTidInChild); }

pid_t currentTid() noexcept {
    if (cachedTid == 0) cachedTid = kernelTid();
    return cachedTid;
}

void recoverFromTrap() noexcept {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, guard.trapSignal);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

bool enterGuard() noexcept {
    guard.iTrap = 0;
    guard.trapSignal = 0;
    if (guard.ck_sig.sa_sigaction != trapHandler) {
        std::memset(&guard.ck_sig, 0, sizeof guard.ck_sig);
        guard.ck_sig.sa_sigaction = trapHandler;
        guard.ck_sig.sa_flags = SA_SIGINFO;
        sigemptyset(&guard.ck_sig.sa_mask);
    }
    // SIGBUS (a read beyond the end of a mapped file, say) is trapped from
    // the first section on and stays trapped: installing it per section would
    // double the cost of every trace call.  Faults outside a section go on to
    // the action that was there before.
    if (!busTrapInstalled) busTrapInstalled = sigaction(SIGBUS, &guard.ck_sig, &guard.ck_oldbus) == 0;
    struct sigaction previous;
    if (sigaction(SIGSEGV, &guard.ck_sig, &previous) != 0) return false;
    if (previous.sa_sigaction == trapHandler && (previous.sa_flags & SA_SIGINFO) && segvTrapLeft) {
        std::memset(&guard.ck_oldsig, 0, sizeof guard.ck_oldsig);  // the default, as left
        guard.ck_oldsig.sa_handler = SIG_DFL;
    } else {
        guard.ck_oldsig = previous;
        segvTrapLeft = false;
    }
    guard.pidThis = currentTid();
    return true;
}

void leaveGuard() noexcept {
    guard.pidThis = 0;
    // With the default action before the section, the trap stays: it passes
    // every fault outside a section on to the default action, so nothing
    // changes for the program, and the restoring system call is saved.  Any
    // other action is put back, and the trap installed afresh by every
    // section, so that an action the program installs later is honoured.
    segvTrapLeft = isDefault(guard.ck_oldsig);
    if (!segvTrapLeft) sigaction(SIGSEGV, &guard.ck_oldsig, nullptr);
}

}  // namespace xtr
