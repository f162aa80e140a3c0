// SPDX-License-Identifier: ISC
// What a run tells its caller: the exit statuses and the messages on
// standard error, "eolscrub2: WHAT: REASON".
#pragma once

#include <initializer_list>
#include <string_view>

namespace eolscrub2 {

enum status : int {
    done = 0,       // converted, or nothing to do
    failed = 1,     // nothing changed and nothing left behind
    usage = 2,      // a wrong invocation
    unfinished = 3, // the replacement did not finish cleanly
};

// Writes "eolscrub2: " and the pieces as one line. It allocates nothing,
// so it still works once rm has run, when running out of memory must not
// keep the run from saying where the converted text is.
void say(std::initializer_list<std::string_view> pieces);

inline void warn(std::string_view what, std::string_view reason)
{
    say({what, ": ", reason});
}

// A failure before the replacement: said, and status 1.
inline int fail(std::string_view what, std::string_view reason)
{
    warn(what, reason);
    return failed;
}

// The same, for a failure with what is named (the work file, a system
// file) in the run for the file at path.
inline int fail(std::string_view path, std::string_view what, std::string_view reason)
{
    say({path, ": ", what, ": ", reason});
    return failed;
}

// The reason for an errno.
std::string_view why(int err);

// The file is no longer the one that was read (ESTALE), or looking at it
// failed: said, and status 1.
int changed(std::string_view path, int err);

} // namespace eolscrub2
