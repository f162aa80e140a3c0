// A file's attributes carried over to the work file that replaces it.
#pragma once

#include <string>

#include <sys/stat.h>

struct carried {
    int err = 0;          // 0, or the errno that stopped the copy
    bool reading = false; // whether reading in's attributes failed
    std::string acl;      // an access ACL the work file could not take, in its
                          // extended-attribute form; empty when none is owed
};

// Gives out the owner and group of in (where this user may), its extended
// attributes and access ACL and nothing else, and its permission bits,
// never wider than they were on in.
carried carry(int in, int out, const struct stat& st);

// Sets on f an ACL that the work file could not take. 0 or an errno.
int restore_acl(int f, const std::string& acl);
