// SPDX-License-Identifier: ISC
#include "checks.h"

#include "acl.h"
#include "fd.h"
#include "owner.h"
#include "report.h"

#include <cstdio>
#include <tuple>

#include <fcntl.h>
#include <grp.h>
#include <linux/magic.h>
#include <pwd.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
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

// Whether the directory's group is its owner's alone: no other user has
// it as their primary group or is listed in it, as OpenSSH asks of a
// private group per user.
bool owners_alone(const struct stat& dir)
{
    const passwd* p = getpwuid(dir.st_uid);
    const group* g = getgrgid(dir.st_gid);
    if (p == nullptr || g == nullptr)
        return false;
    const std::string owner = p->pw_name;
    for (char** m = g->gr_mem; *m != nullptr; m++) {
        if (owner != *m)
            return false;
    }
    bool alone = true;
    setpwent();
    while ((p = getpwent()) != nullptr)
        alone = alone && (p->pw_gid != dir.st_gid || p->pw_uid == dir.st_uid);
    endpwent();
    return alone;
}

// Whether the directory has an ACL that names users or groups: its mode's
// group bits are then the ACL's mask, which bounds them all.
bool names_others(int d)
{
    std::string acl(4096, '\0');
    ssize_t n = fgetxattr(d, acl_name, acl.data(), acl.size());
    acl.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    return (n < 0 && errno != ENODATA && errno != ENOTSUP) || acl_names_anyone(acl);
}

// Whether the owner a local work file cannot take is one that the file's
// volume gives every file, as FAT, exFAT and NTFS without a user mapping
// do, and FUSE file systems such as sshfs: a work file made in the file's
// own directory would show it too. Judged by the directory, which shows
// the file's owner and group, and by the kind of file system.
bool invented(const original& f, const workfile& work)
{
    if (same_mount(work.dir_statx(), f.at.dir_x) || f.at.dir_st.st_uid != f.a.uid ||
        f.at.dir_st.st_gid != f.a.gid)
        return false;
    struct statfs fs {};
    if (fstatfs(f.at.dir.get(), &fs) != 0)
        return false;
    switch (fs.f_type) {
    case MSDOS_SUPER_MAGIC:
    case EXFAT_SUPER_MAGIC:
    case FUSE_SUPER_MAGIC:
    case 0x5346544e: // the kernel's NTFS drivers, which magic.h does not name
    case 0x7366746e:
        return true;
    default:
        return false;
    }
}

} // namespace

const char* others_may_change(int d, const struct stat& dir, const struct stat& file_dir,
                              uid_t owner)
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
    if ((dir.st_mode & S_IWOTH) != 0)
        return others;
    if ((dir.st_mode & S_IWGRP) == 0)
        return nullptr;
    return names_others(d) || !owners_alone(dir) ? others : nullptr;
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

int may_begin(const original& f, const workfile& work)
{
    const std::string& path = f.path;
    const place& at = f.at;
    const char* cannot = "cannot be replaced: ";
    if (int err = may_replace(at, f.st)) {
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
    if (const char* reason = others_may_change(work.dir(), work.dir_stat(), at.dir_st, f.a.uid))
        return fail(".", reason);
    // A work file could be made there, but never moved or removed.
    if (const char* what = fixed(work.dir_statx(), false)) {
        say({".: ", what, "; run it from another directory"});
        return failed;
    }
    if (lost l = unmapped(f.a); l.err != 0)
        return refuse(f, l, work);
    return 0;
}

int refuse(const original& f, const lost& l, const workfile& work)
{
    if (l.what.empty())
        return fail(work.where(), why(l.err));
    const attrs& a = f.a;
    // The owner and group by name, as ls shows them, and the mode as
    // chmod takes it.
    char mode[8];
    std::ignore = std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(a.mode)); // fits
    const bool owner = l.what == "owner" || l.what == "group";
    std::string name = l.attribute         ? "attribute "
                       : l.what == "owner" ? "owner (" + user_name(a.uid) + ")"
                       : l.what == "group" ? "group (" + group_name(a.gid) + ")"
                       : l.what == "mode"  ? std::string("mode (") + mode + ")"
                                           : "";
    say({f.path, ": its ", name, l.attribute || name.empty() ? l.what : "",
         " cannot be kept: ", l.reason != nullptr ? l.reason : why(l.err), "; not replaced",
         owner && l.reason == nullptr && invented(f, work)
             ? "; run it from the file's own directory, whose volume gives every file this owner"
             : ""});
    return failed;
}

} // namespace eolscrub2
