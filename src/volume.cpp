// SPDX-License-Identifier: ISC
#include "volume.h"

#include <cerrno>

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/vfs.h>

namespace eolscrub2 {

fs_type type_of(int f)
{
    struct statfs st {};
    return fstatfs(f, &st) == 0 ? static_cast<fs_type>(st.f_type) : 0;
}

bool in_memory(fs_type type)
{
    return type == magic::tmpfs || type == magic::ramfs;
}

bool invents_owners(fs_type type)
{
    switch (type) {
    case magic::msdos:
    case magic::exfat:
    case magic::fuse:
    case magic::ntfs:
    case magic::ntfs_old:
        return true;
    default:
        return false;
    }
}

bool encrypted(const struct statx& x)
{
    return (x.stx_attributes_mask & x.stx_attributes & STATX_ATTR_ENCRYPTED) != 0;
}

int policy_of(int f, std::string& policy)
{
    struct fscrypt_get_policy_ex_arg arg {};
    arg.policy_size = sizeof arg.policy;
    policy.clear();
    if (ioctl(f, FS_IOC_GET_ENCRYPTION_POLICY_EX, &arg) == 0) {
        policy.assign(reinterpret_cast<const char*>(&arg.policy), arg.policy_size);
        return 0;
    }
    // Not encrypted, or a file system that never is.
    return errno == ENODATA || errno == ENOTTY || errno == EOPNOTSUPP ? 0 : errno;
}

namespace {

// The project id of f, and whether it passes it on to what is made in it;
// false where the file system has none.
bool project_of(int f, unsigned& id, bool& inherits)
{
    struct fsxattr x {};
    if (ioctl(f, FS_IOC_FSGETXATTR, &x) != 0)
        return false;
    id = x.fsx_projid;
    inherits = (x.fsx_xflags & FS_XFLAG_PROJINHERIT) != 0;
    return true;
}

} // namespace

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

bool renames(int work, const struct statx& wx, int dir, const struct statx& dx)
{
    if (!same_mount(wx, dx))
        return false;
    // The same directory: nothing else to ask.
    if (wx.stx_ino == dx.stx_ino)
        return true;
    // fscrypt_prepare_rename(): into an encrypted directory only a file
    // of its policy.
    if (encrypted(dx)) {
        std::string theirs, ours;
        if (policy_of(dir, theirs) != 0 || policy_of(work, ours) != 0 || theirs != ours)
            return false;
    }
    // ext4_rename(), xfs_rename(): into a directory that gives its files
    // its project, only a file of that project.
    unsigned id = 0;
    unsigned work_id = 0;
    bool inherits = false;
    bool work_inherits = false;
    return !project_of(dir, id, inherits) || !inherits ||
           (project_of(work, work_id, work_inherits) && work_id == id);
}

} // namespace eolscrub2
