// SPDX-License-Identifier: ISC
#include "signals.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <tuple>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace eolscrub2 {

namespace {

// A handler may read only atomics that need no lock.
std::atomic<int> cleanup_dir{-1};
std::atomic<const char*> cleanup{nullptr};
std::atomic<bool> deferring{false};
std::atomic<int> caught{0};
// SIGIO is only a sign of a lease's break, which the kernel is asked
// about: once a lease is watched, or where the caller ignores SIGIO.
std::atomic<bool> io_is_sign{false};
// 2 is always; 1 is on ARMv5 (armel), where the kernel's helpers make them
// so on every processor it runs on.
static_assert(ATOMIC_POINTER_LOCK_FREE >= 1 && ATOMIC_INT_LOCK_FREE >= 1 &&
              ATOMIC_BOOL_LOCK_FREE >= 1);

extern "C" void on_signal(int sig, siginfo_t* /*info*/, void* /*context*/)
{
    if (sig == SIGIO && io_is_sign.load())
        return;
    if (deferring.load()) {
        caught.store(sig);
        return;
    }
    if (const char* name = cleanup.load())
        std::ignore = unlinkat(cleanup_dir.load(), name, 0); // nothing can be reported from here
    // Neither can fail for a signal that was just delivered.
    std::ignore = std::signal(sig, SIG_DFL);
    std::ignore = std::raise(sig); // delivered, with the default action, on return
}

// The signals that end a process by default and that others send: each is
// caught. SIGXFSZ joins them once the writes are done. A fault in the
// program itself (SIGSEGV and the like) ends it as SIGKILL would.
constexpr int caught_signals[] = {SIGHUP,  SIGINT,    SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1,
                                  SIGUSR2, SIGVTALRM, SIGPROF, SIGXCPU, SIGIO,   SIGPWR};

struct sigaction ours_action()
{
    struct sigaction sa {};
    sa.sa_sigaction = on_signal;
    sigfillset(&sa.sa_mask); // one handler at a time
    sa.sa_flags = SA_SIGINFO | SA_RESTART;
    return sa;
}

// What the caller had SIGXFSZ do, while it is ignored for the writes; and
// the caller's signal mask, which the run ends with.
struct sigaction xfsz {};
sigset_t callers_mask;
bool held = false;

bool caught_here(int sig)
{
    struct sigaction sa {};
    return sigaction(sig, nullptr, &sa) == 0 && sa.sa_sigaction == on_signal;
}

} // namespace

void catch_signals()
{
    // Every signal is held while the handlers are set, so that one the
    // caller ignores (SIGHUP under nohup) is never caught, not even for a
    // moment: its disposition is put back, which drops it if it came.
    sigset_t all;
    sigfillset(&all);
    std::ignore = sigprocmask(SIG_BLOCK, &all, &callers_mask); // cannot fail
    const struct sigaction sa = ours_action();
    for (int sig : caught_signals) {
        struct sigaction old {};
        std::ignore = sigaction(sig, &sa, &old); // cannot fail for these
        // A lease's break comes as SIGIO, which must be caught for it.
        if (old.sa_handler == SIG_IGN && sig == SIGIO)
            io_is_sign.store(true);
        else if (old.sa_handler == SIG_IGN)
            std::ignore = sigaction(sig, &old, nullptr);
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    std::ignore = sigaction(SIGXFSZ, &ignore, &xfsz); // cannot fail
    // The others that would end it (the real-time signals, SIGSTKFLT) only
    // a program sends, on purpose: they wait until the run has ended, and
    // then end it as they would have.
    sigset_t rest = callers_mask;
#ifdef SIGSTKFLT // which MIPS has not
    std::ignore = sigaddset(&rest, SIGSTKFLT);
#endif
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++)
        std::ignore = sigaddset(&rest, sig);                // cannot fail for these
    std::ignore = sigprocmask(SIG_SETMASK, &rest, nullptr); // cannot fail
    held = true;
}

void release_signals()
{
    if (held)
        std::ignore = sigprocmask(SIG_SETMASK, &callers_mask, nullptr); // cannot fail
}

void writes_done()
{
    const struct sigaction sa = ours_action();
    if (xfsz.sa_handler != SIG_IGN)
        std::ignore = sigaction(SIGXFSZ, &sa, nullptr); // cannot fail
}

void remove_on_signal(int dir, const char* name)
{
    cleanup_dir.store(dir);
    cleanup.store(name);
}

void watch_lease()
{
    io_is_sign.store(true);
}

void defer_signals()
{
    deferring.store(true);
    cleanup.store(nullptr);
}

int deferred_signal(int status1, int status2)
{
    // system(3) ignores SIGINT and SIGQUIT while it waits, so the run learns
    // of them only from the command they ended.
    for (int status : {status1, status2}) {
        if (status != -1 && WIFSIGNALED(status)) {
            int sig = WTERMSIG(status);
            if ((sig == SIGINT || sig == SIGQUIT) && caught_here(sig) && caught.load() == 0)
                caught.store(sig);
        }
    }
    return caught.load();
}

signals_held::signals_held() : old_{}
{
    sigset_t all;
    sigfillset(&all);
    std::ignore = sigprocmask(SIG_BLOCK, &all, &old_); // cannot fail
}

signals_held::~signals_held()
{
    std::ignore = sigprocmask(SIG_SETMASK, &old_, nullptr); // cannot fail
}

void die(int sig)
{
    std::ignore = std::signal(sig, SIG_DFL); // cannot fail for a caught signal
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    std::ignore = sigprocmask(SIG_UNBLOCK, &set, nullptr); // cannot fail
    std::ignore = std::raise(sig);
    std::_Exit(128 + sig); // not reached: the default action ends the process
}

} // namespace eolscrub2
