// SPDX-License-Identifier: ISC
// One line on the terminal that tells how far a long run has come: shown
// only where standard error is a terminal, once the run has gone on for a
// second, redrawn a few times a second, and erased before any other line
// and at the end. Scripts, logs and find see nothing of it.
#pragma once

#include <sys/types.h>

namespace eolscrub2::progress {

// The run's work: bytes to convert in all.
void begin(off_t bytes);

// That many bytes of them are converted.
void converted(off_t bytes);

// The step now under way, as the line names it ("converting", "flushing",
// "replacing"), with that many bytes of the total behind it.
void step(const char* what, off_t bytes);

// Takes the line off the terminal, if it is shown. Allocates nothing.
void erase();

} // namespace eolscrub2::progress
