// SPDX-License-Identifier: ISC
// What is made sure of before anything is created: that the file can be
// replaced, with all that makes it what it is, and that no other user can
// steer the replacement.
#pragma once

#include "attrs.h"
#include "place.h"

#include <string>

#include <sys/stat.h>

namespace eolscrub2 {

// Whether another user could rename or remove entries in the directory
// that will hold the work file (dir), so swapping the work file between the
// last check and the move. Allowed are a directory only the caller or root
// owns and no one else may write, a sticky one owned by the caller or root
// (such as /tmp), and the file's own directory (file_dir): whoever may
// change that could replace the file anyway.
bool others_may_change(const struct stat& dir, const struct stat& file_dir);

// Whether this user may remove the file (st) from its directory and put
// another under its name there: write and search permission, and in a
// sticky directory, owning the file or the directory. 0 or an errno.
int may_replace(const place& at, const struct stat& st);

// The checks, in turn, for the file at path, read as st with attributes a,
// whose work file is to be made in the directory dir: 0, or the status
// once the reason has been said.
int may_begin(const std::string& path, const place& at, const struct stat& dir,
              const struct stat& st, const attrs& a);

// Says that an attribute of a cannot be kept, or, for a failure that is
// not one attribute's, what failed in the work file's directory (where);
// status 1.
int refuse(const std::string& path, const lost& l, const attrs& a, const std::string& where);

} // namespace eolscrub2
