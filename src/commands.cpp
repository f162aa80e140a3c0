// SPDX-License-Identifier: ISC
#include "commands.h"

#include "quote.h"

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include <sys/wait.h>
#include <unistd.h>

namespace eolscrub2 {

namespace {

// path with each entry that the shell would look up in its current
// directory made to lead from `from`; left out where `from` holds a colon,
// which would split it.
std::string search_path(std::string_view path, const std::string& from)
{
    const bool usable = from.find(':') == std::string::npos;
    std::string out;
    for (std::size_t start = 0;;) {
        std::size_t colon = path.find(':', start);
        std::string_view entry = path.substr(start, colon - start);
        if (entry.empty() || entry[0] != '/') {
            if (usable)
                out.append(from).append(entry.empty() ? "" : "/").append(entry).append(":");
        } else {
            out.append(entry).append(":");
        }
        if (colon == std::string_view::npos)
            break;
        start = colon + 1;
    }
    if (out.empty()) {
        // Every entry was left out: the system's own path, not an empty
        // one, which the shell would read as the current directory.
        out.resize(confstr(_CS_PATH, nullptr, 0));
        out.resize(confstr(_CS_PATH, out.data(), out.size()) - 1);
        return out;
    }
    out.pop_back();
    return out;
}

} // namespace

commands compose(const place& at, const workfile& work, const char* path)
{
    return {"exec rm -f -- " + quote(at.base),
            "exec mv -fT -- " + quote(work.reach() + "/" + work.given()) + " " + quote(at.base),
            path == nullptr ? std::string() : search_path(path, work.reach())};
}

int run_command(const std::string& text)
{
    int status = std::system(text.c_str());
    // -1: system(3) could not wait for the shell, which may still be
    // running. Nothing may go on until it has ended, or an rm still at
    // work could remove what mv has just put in place.
    if (status == -1) {
        while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
        }
    }
    return status;
}

} // namespace eolscrub2
