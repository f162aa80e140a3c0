// SPDX-License-Identifier: ISC
#include "place.h"

#include <cstdlib>
#include <memory>

#include <fcntl.h>

namespace eolscrub2 {

int place::find(const std::string& path, const struct stat& st)
{
    std::string p = path;
    struct stat lst {};
    if (lstat(p.c_str(), &lst) != 0)
        return errno;
    if (S_ISLNK(lst.st_mode)) {
        std::unique_ptr<char, decltype(&std::free)> real{realpath(p.c_str(), nullptr), &std::free};
        if (!real)
            return errno;
        p = real.get();
    }
    std::size_t slash = p.rfind('/');
    dir_path_ = slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
    base = slash == std::string::npos ? p : p.substr(slash + 1);
    // Readable, so that it can be synced once the file is in it.
    dir = fd{open(dir_path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (!dir.ok() || fstat(dir.get(), &dir_st) != 0)
        return errno;
    if (int err = look_closer(dir.get(), "", dir_x))
        return err;
    if (int err = look_closer(dir.get(), base.c_str(), file_x))
        return err == ENOENT ? ESTALE : err;
    return unchanged(st);
}

int place::unchanged(const struct stat& st) const
{
    struct stat now {};
    if (fstatat(dir.get(), base.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? ESTALE : errno;
    return unchanged_since(now, st) ? 0 : ESTALE;
}

int place::share()
{
    // F_DUPFD leaves the copy without FD_CLOEXEC, so that it is inherited.
    shared_ = fd{fcntl(dir.get(), F_DUPFD, 3)};
    if (!shared_.ok())
        return errno;
    reach_ = "/proc/self/fd/" + std::to_string(shared_.get());
    struct stat st {};
    if (stat(reach_.c_str(), &st) != 0 || !same_file(st, dir_st))
        reach_ = dir_path_;
    return 0;
}

int look_closer(int dir, const char* name, struct statx& x)
{
    const int flags = *name == '\0' ? AT_EMPTY_PATH : AT_SYMLINK_NOFOLLOW;
    // Where the kernel has no statx, the C library answers from stat,
    // without the mount's id.
    return statx(dir, name, flags, STATX_BASIC_STATS | STATX_MNT_ID, &x) == 0 ? 0 : errno;
}

bool same_mount(const struct statx& a, const struct statx& b)
{
    // Another device is another mount. The same may still be two: a bind
    // mount of one file system, across which rename fails too. Without
    // mount ids (an older kernel; qemu-user passes them on as 0), the
    // device is all there is to go by.
    if (a.stx_dev_major != b.stx_dev_major || a.stx_dev_minor != b.stx_dev_minor)
        return false;
    return (a.stx_mask & b.stx_mask & STATX_MNT_ID) == 0 || a.stx_mnt_id == b.stx_mnt_id;
}

} // namespace eolscrub2
