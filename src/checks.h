// SPDX-License-Identifier: ISC
// What is made sure of before anything is created: that the file can be
// replaced, with all that makes it what it is, and that no other user can
// steer the replacement.
#pragma once

#include "failure.h"
#include "place.h"
#include "run.h"

namespace eolscrub2 {

// The checks, in turn, for the run's file, whose work file is to be made
// in the current directory: that this user may replace the file, that it
// and its directory can be replaced at all, that no other user can steer
// the replacement, and that every owner and group can be kept. 0, or the
// status once the reason has been said.
int may_begin(const run& r);

// Says that an attribute of the run's file cannot be kept, or, for a
// failure that is not one attribute's, what failed with the work file;
// status 1. Where only the current directory is in the way, the line
// says so.
int cannot_keep(const run& r, const failure& e);

// Says that the path was not followed through the link l; status 1.
int not_followed(const link_stop& l);

} // namespace eolscrub2
