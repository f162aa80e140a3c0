// SPDX-License-Identifier: ISC
#include "report.h"

#include "progress.h"

#include <cerrno>
#include <cstring>
#include <tuple>

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

namespace eolscrub2 {

void write_line(iovec* v, std::size_t n)
{
    progress::erase();
    // One call, so that the line is never split; should even it fail, the
    // exit status still tells.
    std::ignore = writev(STDERR_FILENO, v, static_cast<int>(n));
}

std::string_view why(int err)
{
    return std::strerror(err);
}

int changed(std::string_view path, int err)
{
    bool gone = err == ESTALE || err == ENOENT || err == ENOTDIR;
    return fail(path, gone ? "changed during the conversion; not replaced" : why(err));
}

std::string user_name(uid_t uid)
{
    const passwd* p = getpwuid(uid);
    return p != nullptr ? p->pw_name : std::to_string(uid);
}

std::string group_name(gid_t gid)
{
    const group* g = getgrgid(gid);
    return g != nullptr ? g->gr_name : std::to_string(gid);
}

} // namespace eolscrub2
