// SPDX-License-Identifier: ISC
#include "commands.h"

#include "quote.h"

#include <cerrno>
#include <cstdlib>

#include <sys/wait.h>

namespace eolscrub2 {

commands compose(const place& at, const workfile& work)
{
    const std::string file = quote(at.for_commands() + "/" + at.base);
    return {"exec rm -f -- " + file, "exec mv -fT -- " + quote(work.for_mv()) + " " + file};
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
