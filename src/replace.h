// The replacement: the work file put in the file's place by rm and mv, what
// they left looked at, and the result made durable.
#pragma once

#include "copy.h"
#include "place.h"
#include "workfile.h"

#include <string>

#include <sys/stat.h>

namespace eolscrub2 {

// Replaces the file read (st), found at `at`, by the work file, once it is
// sure the name still leads to that file, unchanged; `acl` is an access ACL
// the work file could not take. Says what went wrong; the run's status.
int replace(const std::string& path, const struct stat& st, const place& at, workfile& work,
            const std::string& acl, const buffer& buf);

} // namespace eolscrub2
