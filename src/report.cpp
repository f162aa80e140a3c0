// SPDX-License-Identifier: ISC
#include "report.h"

#include "progress.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <tuple>

#include <sys/uio.h>
#include <unistd.h>

namespace eolscrub2 {

void say(std::initializer_list<std::string_view> pieces)
{
    progress::erase();
    std::array<iovec, 16> v{};
    std::size_t n = 0;
    auto add = [&](std::string_view s) {
        // writev takes no const; it only reads. The last slot is the LF's.
        if (n + 1 < v.size())
            v[n++] = {const_cast<char*>(s.data()), s.size()};
    };
    add("eolscrub2: ");
    for (std::string_view p : pieces)
        add(p);
    v[n++] = {const_cast<char*>("\n"), 1};
    // One call, so that the line is never split; should even it fail, the
    // exit status still tells.
    std::ignore = writev(STDERR_FILENO, v.data(), static_cast<int>(n));
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

} // namespace eolscrub2
