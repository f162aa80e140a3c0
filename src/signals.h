// What a signal does to a run. Until the replacement starts, a signal that
// would end the process removes the work file first and then ends it as
// it would have; from the remove command to the end of the move it waits,
// so that the run can finish the move and say what the file holds.
#pragma once

// Catches every signal whose default action ends the process, except those
// the caller ignores (nohup, a background job), which stay ignored.
void catch_signals();

// The work file that a signal removes; nullptr for none.
void doom(const char* name);

// From now on a signal is held until the run has settled.
void shield();

// The signal held since shield(), or 0. A command ended by SIGINT or
// SIGQUIT counts as the run's own: the terminal sent it to the whole job.
int held(int status1, int status2);

// Ends the process by sig, as its default action does.
[[noreturn]] void die(int sig);
