// SPDX-License-Identifier: ISC
// What is made sure of before anything is created: that the file can be
// replaced, with all that makes it what it is, and that no other user can
// steer the replacement.
#pragma once

#include "attrs.h"
#include "original.h"
#include "place.h"
#include "workfile.h"

#include <string>

#include <sys/stat.h>

namespace eolscrub2 {

// Why another user could rename or remove the work file's names in the
// directory that is to hold them (dir), and so swap what mv moves, or what
// a message names, for a file of their own: nullptr when no one could.
// owner is the file's, which the work file is to have. Allowed are a
// directory that only the caller or root owns and no one else may write
// (its group may, where the group has no member but its owner, as with a
// private group per user), a sticky one owned by either, such as /tmp,
// where the work file is the caller's own, and the file's own directory
// (file_dir), since whoever may change that could replace the file
// anyway. d is the directory, open.
const char* others_may_change(int d, const struct stat& dir, const struct stat& file_dir,
                              uid_t owner);

// Whether this user may remove the file (st) from its directory and put
// another under its name there: write and search permission, and in a
// sticky directory, owning the file or the directory. 0 or an errno.
int may_replace(const place& at, const struct stat& st);

// The checks, in turn, for the file f, whose work file is to be made in
// work's directory: 0, or the status once the reason has been said.
int may_begin(const original& f, const workfile& work);

// Says that an attribute of f cannot be kept, or, for a failure that is
// not one attribute's, what failed in the work file's directory; status 1.
// Where only the current directory is in the way, the line says so.
int cannot_keep(const original& f, const lost& l, const workfile& work);

// Says that the path was not followed through the link l; status 1.
int not_followed(const link_stop& l);

} // namespace eolscrub2
