// SPDX-License-Identifier: ISC
// Where the file lies: its directory, held open, and its name there.
#pragma once

#include "fd.h"

#include <string>

#include <sys/stat.h>

namespace eolscrub2 {

// The commands run in that directory, so that swapping a directory on the
// path for a link to another cannot send them elsewhere. For a symbolic
// link, the file it leads to, so that the link stays a link.
struct place {
    fd dir;
    struct stat dir_st {};
    std::string base;

    // Finds the file that path names, which must be the one read (st).
    // 0 or an errno; ESTALE when the name no longer leads to that file.
    int find(const std::string& path, const struct stat& st);

    // 0 when the name still leads to the file read, unchanged; ESTALE when
    // not; or the errno of the look.
    int unchanged(const struct stat& st) const;
};

} // namespace eolscrub2
