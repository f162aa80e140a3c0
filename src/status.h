// SPDX-License-Identifier: ISC
// The exit statuses of a run.
#pragma once

namespace eolscrub2 {

enum status : int {
    done = 0,       // converted, or nothing to do
    failed = 1,     // nothing changed and nothing left behind
    usage = 2,      // a wrong invocation
    unfinished = 3, // the replacement did not finish cleanly
};

} // namespace eolscrub2
