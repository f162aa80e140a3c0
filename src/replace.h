// SPDX-License-Identifier: ISC
// The replacement: the work file put in the file's place by rm and mv, what
// they left looked at, and the result made durable.
#pragma once

#include "attrs.h"
#include "copy.h"
#include "place.h"
#include "workfile.h"

#include <string>

#include <sys/stat.h>

namespace eolscrub2 {

// Replaces the file read (st), found at `at`, by the work file, once it is
// sure the name still leads to that file, unchanged, and that no program
// has opened it for writing since; a are its attributes, and acl_owed says
// that the work file could not take its access ACL. Says what went wrong;
// the run's status.
int replace(const std::string& path, const struct stat& st, const place& at, workfile& work,
            const attrs& a, bool acl_owed, const buffer& buf);

} // namespace eolscrub2
