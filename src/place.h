// SPDX-License-Identifier: ISC
// Where the file lies: its directory, held open, and its name there,
// found one step at a time so that no other user's link can lead there.
#pragma once

#include "fd.h"

#include <string>

#include <sys/stat.h>

namespace eolscrub2 {

// A symbolic link the steps stopped at: one not followed, since neither
// root, the caller, nor the owner of what it leads to made it, so that its
// owner could have aimed it at anything; or one that leads to no file.
struct link_stop {
    std::string name; // the link's path, as the steps reached it
    std::string text; // what it says
    uid_t owner = 0;
    uid_t target_owner = 0;
    bool to_dir = false; // it leads to a directory
};

// For a symbolic link, the file it leads to, so that the link stays a link.
struct place {
    fd dir;
    struct stat dir_st {};
    struct statx dir_x {}; // its mount, and whether it is immutable or append-only
    struct statx file_x {};
    std::string base;
    link_stop link; // where find() gave EPERM or ENOENT, if a link was the reason

    // Follows path to what it names, component by component through
    // directories held open, and every symbolic link on the way only where
    // it can be trusted; st is what is found there, for a regular file its
    // directory is then held. 0 or an errno; EPERM with link set for a
    // link not followed, ENOENT with link set for one that leads nowhere.
    int find(const std::string& path, struct stat& st);

    // 0 when path still leads, the same way, to the file read, unchanged;
    // ESTALE when not; or the errno of the look (EPERM, a link now not
    // followed).
    int unchanged(const std::string& path, const struct stat& st) const;

    // Opens the file found, for reading, as the very file found (st), and
    // sets st to what it now says. 0 or an errno; ESTALE where the name now
    // leads elsewhere.
    int open(struct stat& st, fd& in) const;

    // Makes the name by which a command reaches the file: through
    // /proc/self/fd/N/NAME, N a copy of dir that commands inherit, so that
    // no rename of a directory on the path can send them to another file;
    // where /proc is not mounted, by the directory's path. 0 or an errno.
    int pass_on();
    const std::string& for_commands() const { return for_commands_; }

private:
    std::string dir_path_;
    fd shared_;
    std::string for_commands_;
};

inline bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The same file with nothing written to it in between: its size and times
// are as they were.
inline bool unchanged_since(const struct stat& a, const struct stat& b)
{
    return same_file(a, b) && a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
           a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// What statx says of name in dir ("" for dir itself) that stat does not:
// its mount, and the attributes that keep it from being changed. 0 or an
// errno.
int statx_of(int dir, const char* name, struct statx& x);

} // namespace eolscrub2
