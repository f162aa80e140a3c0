// SPDX-License-Identifier: ISC
// A file's attributes, read once, and given to the work file and to any
// copy mv makes of it, exactly or not at all.
#pragma once

#include "failure.h"
#include "volume.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <sys/stat.h>

namespace eolscrub2 {

struct attrs {
    uid_t uid = 0;
    gid_t gid = 0;
    mode_t mode = 0; // permission and set-ID bits
    // The extended attributes that travel with the file, name and value;
    // the access ACL among them.
    std::vector<std::pair<std::string, std::string>> xattrs;
    std::string acl; // the access ACL in its extended-attribute form, or empty
    int flags = 0;   // the inode flags (chattr's) that travel with it
};

// What a file could not be given: for each of a's extended attributes,
// 0 where it took it or the errno of why not, as many as there are before
// rm, so that filling it again for a copy allocates nothing; and the inode
// flags it lacks, with why.
struct missed {
    std::vector<int> xattrs;
    int flags = 0;
    int flags_err = 0;
};

// Reads in's attributes: those it lists, and on a FUSE file system
// (type) those it may show only when asked by name (ntfs-3g's ACL, the
// Windows flags and creation time); and the inode flags a user may set that say how the file is
// kept: no dump, no atime updates, no copy-on-write, (no) compression,
// synchronous updates. 0 or an errno.
int read_attrs(int in, const struct stat& st, fs_type type, attrs& a);

// Leaves out of a the extended attributes that do not travel with a file,
// by the rules that cp and mv follow (libattr reads them) in rules, or
// where there is no such file, Debian's: each a pattern, and "skip" (never
// copied: security.evm, an HMAC over the old inode that only the kernel
// may write) or "permissions" (copied, as the permissions are). The first
// pattern that matches decides. The rules are read only where a has any.
// 0 or the errno of reading them.
int keep_travelling(attrs& a, const char* rules = "/etc/xattr.conf");

// The inode flags, judged by what the file then shows; given before its first
// byte, since btrfs takes no-copy-on-write only on an empty file and
// compresses only what is written after. Costs nothing where the file has
// none.
void give_flags(int to, const attrs& a, missed& m);

// The owner and group, exactly, to the file open as `to`: beside the file
// right after the work file is made, before it is written, so that its
// blocks are the owner's from the start.
failure give_owner(int to, const attrs& a);

// The extended attributes, then the mode, never wider than a's. Every
// security.* attribute is given exactly (a file capability, a security
// label). Another that its file system does not take, or this user may
// not set (user.*, trusted.*), or the ACL, is missed: left to a copy on
// another file system, or to a warning. Where the ACL is missed, the owning
// group has only its own permissions.
failure give_rest(int to, const attrs& a, missed& m);

// Says, of the file at path, which attributes and flags it lacks.
void warn_missed(std::string_view path, const attrs& a, const missed& m);

// Each give is judged by what the file then shows, not by the call: where a file
// system has no owners or modes of its own, every file shows the mount's,
// a call to change them fails, and that is what the original shows too.

} // namespace eolscrub2
