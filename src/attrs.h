// SPDX-License-Identifier: ISC
// A file's attributes, read once, and given to the work file and to any
// copy mv makes of it, exactly or not at all.
#pragma once

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
    // Extended attributes, name and value; the access ACL among them.
    std::vector<std::pair<std::string, std::string>> xattrs;
    std::string acl; // the access ACL in its extended-attribute form, or empty
};

// Why an attribute cannot be given: err (0: all were), and which: "owner",
// "group", "access control list", or an extended attribute's name; empty
// when the failure is not one attribute's but writing the file's. Nothing
// here allocates, so that a copy mv made can be given its attributes once
// rm has run.
struct lost {
    int err = 0;
    std::string_view what;
    bool attribute = false;       // what is an extended attribute's name
    const char* reason = nullptr; // what to say when not the errno's text
};

// Reads in's attributes. 0 or an errno.
int read_attrs(int in, const struct stat& st, attrs& a);

// The owner and group, exactly: given right after f is made, before it is
// written, so that its blocks are the owner's from the start. Judged by
// the outcome: where a file system has no owners of its own, every file
// shows the mount's, and that is what both show.
lost give_owner(int f, const attrs& a);

// The extended attributes, then the mode, never wider than a's. Every
// security.* attribute is given exactly (a file capability, a security
// label). Another that f's file system does not take, or this user may
// not set (user.*, trusted.*), is left out with a line that says so, as
// the file at path's. An access ACL that f cannot take is owed: set again
// once the file is in place, and meanwhile the owning group has only its
// own permissions.
lost give_rest(int f, const attrs& a, bool& acl_owed, std::string_view path);

// Sets on f the ACL that the work file could not take. 0 or an errno.
int restore_acl(int f, const attrs& a);

} // namespace eolscrub2
