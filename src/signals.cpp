#include "signals.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <tuple>

#include <sys/wait.h>
#include <unistd.h>

namespace eolscrub2 {

namespace {

// A handler may read only atomics that need no lock.
std::atomic<const char*> cleanup{nullptr};
std::atomic<bool> deferring{false};
std::atomic<int> caught{0};
static_assert(std::atomic<const char*>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void on_signal(int sig)
{
    if (deferring.load()) {
        caught.store(sig);
        return;
    }
    if (const char* name = cleanup.load())
        std::ignore = unlink(name); // nothing can be reported from here
    // Neither can fail for a signal that was just delivered.
    std::ignore = std::signal(sig, SIG_DFL);
    std::ignore = std::raise(sig); // delivered, with the default action, on return
}

// Whether the signal's default action ends the process. SIGXFSZ is left
// out: the run ignores it while it writes.
bool ends(int sig)
{
    switch (sig) {
    case SIGKILL:
    case SIGSTOP:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
    case SIGCHLD:
    case SIGCONT:
    case SIGURG:
    case SIGWINCH:
    case SIGXFSZ:
        return false;
    default:
        return true;
    }
}

bool ours(int sig)
{
    struct sigaction sa {};
    return sigaction(sig, nullptr, &sa) == 0 && sa.sa_handler == on_signal;
}

// What the caller had SIGXFSZ do, while it is ignored for the writes.
struct sigaction xfsz {};

} // namespace

void catch_signals()
{
    for (int sig = 1; sig <= SIGRTMAX; sig++) {
        if (!ends(sig))
            continue;
        struct sigaction sa {};
        sa.sa_handler = on_signal;
        sigfillset(&sa.sa_mask); // one handler at a time
        sa.sa_flags = SA_RESTART;
        struct sigaction old {};
        // The C library keeps a few real-time signals for itself and
        // refuses them here.
        if (sigaction(sig, &sa, &old) == 0 && old.sa_handler == SIG_IGN)
            std::ignore = sigaction(sig, &old, nullptr); // cannot fail: it was just set
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    std::ignore = sigaction(SIGXFSZ, &ignore, &xfsz); // cannot fail
}

void writes_done()
{
    std::ignore = sigaction(SIGXFSZ, &xfsz, nullptr); // cannot fail
}

void remove_on_signal(const char* name)
{
    cleanup.store(name);
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
            if ((sig == SIGINT || sig == SIGQUIT) && ours(sig) && caught.load() == 0)
                caught.store(sig);
        }
    }
    return caught.load();
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
