// SPDX-License-Identifier: ISC
// What a signal does to a run. Until the replacement starts, a signal that
// would end the process removes the work file first and then ends it as
// it would have; from the remove command to the end of the move it waits,
// so that the run can finish the move and say what the file holds.
#pragma once

#include <csignal>

namespace eolscrub2 {

// Catches the signals whose default action ends the process and that
// others send, except those the caller ignores (nohup, a background job),
// which stay ignored; the rest that would end it (the real-time ones) are
// held until release_signals(). Past the file-size limit the kernel kills
// the writer with SIGXFSZ: until writes_done() it is ignored, so that a
// write fails with EFBIG instead and the work file is removed.
void catch_signals();

// The run has ended: the caller's signal mask again, so that a signal
// held meanwhile ends the process now, as it would have.
void release_signals();

// The writes are done: SIGXFSZ is caught like the others, unless the
// caller ignores it.
void writes_done();

// The work file that a signal removes, in the directory dir; nullptr for
// none.
void remove_on_signal(int dir, const char* name);

// From now on SIGIO, which the kernel sends when a program opens a leased
// file for writing, is only a sign of that, which lease_kept() reads.
void watch_lease();

// From now on a signal waits until the run has finished the replacement.
void defer_signals();

// The signal that came since defer_signals(), or 0. A command ended by
// SIGINT or SIGQUIT counts as the run's own: the terminal sent it to the
// whole job.
int deferred_signal(int status1, int status2);

// Holds every signal back for as long as it lives: for a change that a
// handler must see whole or not at all.
class signals_held {
public:
    signals_held();
    ~signals_held();
    signals_held(const signals_held&) = delete;
    signals_held& operator=(const signals_held&) = delete;

private:
    sigset_t old_;
};

// Ends the process by sig, as its default action does.
[[noreturn]] void die(int sig);

} // namespace eolscrub2
