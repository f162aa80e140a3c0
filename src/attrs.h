// A file's attributes carried over to the work file that replaces it.
#pragma once

#include "fd.h"

#include <string>

#include <sys/stat.h>

namespace eolscrub2 {

// Gives out the owner and group of in (where this user may), its extended
// attributes and access ACL and nothing else, and its permission bits,
// never wider than they were on in. An access ACL that out could not take
// is left in `acl`, in its extended-attribute form, to be set once the file
// is in place; empty when none is owed.
fault carry(int in, int out, const struct stat& st, std::string& acl);

// Sets on f an ACL that the work file could not take. 0 or an errno.
int restore_acl(int f, const std::string& acl);

} // namespace eolscrub2
