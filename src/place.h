// SPDX-License-Identifier: ISC
// Where the file lies: its directory, held open, and its name there.
#pragma once

#include "fd.h"

#include <string>

#include <sys/stat.h>

namespace eolscrub2 {

// For a symbolic link, the file it leads to, so that the link stays a link.
struct place {
    fd dir;
    struct stat dir_st {};
    struct statx dir_x {}; // its mount, and whether it is immutable or append-only
    struct statx file_x {};
    std::string base;

    // Finds the file that path names, which must be the one read (st).
    // 0 or an errno; ESTALE when the name no longer leads to that file.
    int find(const std::string& path, const struct stat& st);

    // 0 when the name still leads to the file read, unchanged; ESTALE when
    // not; or the errno of the look.
    int unchanged(const struct stat& st) const;

    // Makes the name by which a command reaches the file: through
    // /proc/self/fd/N/NAME, N a copy of dir that commands inherit, so that
    // no rename of a directory on the path can send them to another file;
    // where /proc is not mounted, by the directory's path. 0 or an errno.
    int share();
    const std::string& reach() const { return reach_; }

private:
    std::string dir_path_;
    fd shared_;
    std::string reach_;
};

// What statx says of name in dir ("" for dir itself) that stat does not:
// its mount, and the attributes that keep it from being changed. 0 or an
// errno.
int look_closer(int dir, const char* name, struct statx& x);

// Whether a rename from one directory to the other can work, as statx saw
// them: the same mount. Elsewhere mv copies.
bool same_mount(const struct statx& a, const struct statx& b);

} // namespace eolscrub2
