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
    std::string d = slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
    base = slash == std::string::npos ? p : p.substr(slash + 1);
    // Readable, so that it can be synced once the file is in it.
    dir = fd{open(d.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (!dir.ok() || fstat(dir.get(), &dir_st) != 0)
        return errno;
    return unchanged(st);
}

int place::unchanged(const struct stat& st) const
{
    struct stat now {};
    if (fstatat(dir.get(), base.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? ESTALE : errno;
    return unchanged_since(now, st) ? 0 : ESTALE;
}

} // namespace eolscrub2
