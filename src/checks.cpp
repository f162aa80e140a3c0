#include "checks.h"

#include "fd.h"

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

} // namespace eolscrub2
