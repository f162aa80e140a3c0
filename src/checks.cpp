// SPDX-License-Identifier: ISC
#include "checks.h"

#include "fd.h"
#include "owner.h"
#include "report.h"

#include <fcntl.h>
#include <unistd.h>

namespace eolscrub2 {

bool others_may_change(const struct stat& dir, const struct stat& file_dir)
{
    if (same_file(dir, file_dir))
        return false;
    if (dir.st_uid != geteuid() && dir.st_uid != 0)
        return true;
    // In a sticky directory only an entry's owner (or the directory's) may
    // rename or remove it. Where the directory has an ACL, its mode's group
    // bits are the ACL's mask, which bounds every named user and group: no
    // entry may write unless the mode says the group may.
    return (dir.st_mode & S_ISVTX) == 0 && (dir.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

int may_replace(const place& at, const struct stat& st)
{
    // EROFS too, for a file system mounted read-only.
    if (faccessat(at.dir.get(), ".", W_OK | X_OK, AT_EACCESS) != 0)
        return errno;
    // Root may remove anyone's file from a sticky directory.
    const uid_t me = geteuid();
    if ((at.dir_st.st_mode & S_ISVTX) != 0 && me != 0 && st.st_uid != me && at.dir_st.st_uid != me)
        return EACCES;
    return 0;
}

int may_begin(const std::string& path, const place& at, const struct stat& dir,
              const struct stat& st, const attrs& a)
{
    if (others_may_change(dir, at.dir_st))
        return fail(".", "others may change this directory; run it from one only you can write");
    if (int err = may_replace(at, st)) {
        say({path, ": cannot be replaced: ", why(err)});
        return failed;
    }
    if (lost l = unmapped(a); l.err != 0)
        return refuse(path, l, a, {});
    return 0;
}

int refuse(const std::string& path, const lost& l, const attrs& a, const std::string& where)
{
    if (l.what.empty())
        return fail(where, why(l.err));
    // The owner and group by name, as ls shows them.
    std::string name = l.attribute         ? "attribute "
                       : l.what == "owner" ? "owner (" + user_name(a.uid) + ")"
                       : l.what == "group" ? "group (" + group_name(a.gid) + ")"
                                           : "";
    say({path, ": its ", name, l.attribute || name.empty() ? l.what : "",
         " cannot be kept: ", l.reason != nullptr ? l.reason : why(l.err), "; not replaced"});
    return failed;
}

} // namespace eolscrub2
