// SPDX-License-Identifier: ISC
// What a run tells its caller on standard error: "eolscrub2: WHAT: REASON".
#pragma once

#include "status.h"

#include <cstddef>
#include <iterator>
#include <string>
#include <string_view>

#include <sys/types.h>
#include <sys/uio.h>

namespace eolscrub2 {

// Writes the line, whose pieces v holds, in one call, after taking a
// progress line off the terminal.
void write_line(iovec* v, std::size_t n);

// Writes "eolscrub2: " and the pieces as one line. It allocates nothing,
// so it still works once rm has run, when running out of memory must not
// keep the run from saying where the converted text is; and it takes as
// many pieces as it is given.
template <class... Pieces>
void say(const Pieces&... pieces)
{
    const std::string_view parts[] = {"eolscrub2: ", std::string_view(pieces)..., "\n"};
    iovec v[std::size(parts)];
    for (std::size_t i = 0; i < std::size(parts); i++) {
        // writev takes no const; it only reads.
        v[i] = {const_cast<char*>(parts[i].data()), parts[i].size()};
    }
    write_line(v, std::size(parts));
}

inline void warn(std::string_view what, std::string_view reason)
{
    say(what, ": ", reason);
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
    say(path, ": ", what, ": ", reason);
    return failed;
}

// The reason for an errno.
std::string_view why(int err);

// The file is no longer the one that was read (ESTALE), or looking at it
// failed: said, and status 1.
int changed(std::string_view path, int err);

// The user's or group's name, as ls shows it, or its number where it has
// none.
std::string user_name(uid_t uid);
std::string group_name(gid_t gid);

} // namespace eolscrub2
