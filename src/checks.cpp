// SPDX-License-Identifier: ISC
#include "checks.h"

#include "fd.h"
#include "owner.h"
#include "report.h"

#include <fcntl.h>
#include <unistd.h>

namespace eolscrub2 {

namespace {

// What the kernel refuses to remove or rename whatever the permission
// bits say: an immutable or append-only file or directory (chattr), and a
// file that is a mount point, such as one bind-mounted into a container.
const char* fixed(const struct statx& x, bool file)
{
    const auto has = [&](unsigned long long attr) {
        return (x.stx_attributes_mask & x.stx_attributes & attr) != 0;
    };
    return has(STATX_ATTR_IMMUTABLE)            ? "immutable"
           : has(STATX_ATTR_APPEND)             ? "append-only"
           : file && has(STATX_ATTR_MOUNT_ROOT) ? "a mount point"
                                                : nullptr;
}

} // namespace

const char* others_may_change(const struct stat& dir, const struct stat& file_dir, uid_t owner)
{
    const uid_t me = geteuid();
    const char* others = "others may change this directory; run it from one only you can write";
    if ((dir.st_mode & S_ISVTX) != 0) {
        // Only an entry's owner, the directory's and root may rename or
        // remove it, and the work file's names belong to the file's owner.
        if (dir.st_uid != me && dir.st_uid != 0)
            return others;
        return owner == me ? nullptr
                           : "the file's owner could rename the work file in this sticky "
                             "directory; run it from one only you can write";
    }
    if (same_file(dir, file_dir))
        return nullptr;
    if (dir.st_uid != me && dir.st_uid != 0)
        return others;
    // Where the directory has an ACL, its mode's group bits are the ACL's
    // mask, which bounds every named user and group: no entry may write
    // unless the mode says the group may.
    return (dir.st_mode & (S_IWGRP | S_IWOTH)) != 0 ? others : nullptr;
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

int may_begin(const std::string& path, const place& at, const workfile& work, const struct stat& st,
              const attrs& a)
{
    const char* cannot = "cannot be replaced: ";
    if (int err = may_replace(at, st)) {
        say({path, ": ", cannot, why(err)});
        return failed;
    }
    if (const char* what = fixed(at.file_x, true)) {
        say({path, ": ", cannot, "it is ", what});
        return failed;
    }
    if (const char* what = fixed(at.dir_x, false)) {
        say({path, ": ", cannot, "its directory is ", what});
        return failed;
    }
    if (const char* reason = others_may_change(work.dir_stat(), at.dir_st, a.uid))
        return fail(".", reason);
    // A work file could be made there, but never moved or removed.
    if (const char* what = fixed(work.dir_statx(), false)) {
        say({".: ", what, "; run it from another directory"});
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
