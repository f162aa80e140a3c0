// SPDX-License-Identifier: ISC
// The two commands that put the work file in the file's place, run through
// the shell: rm for the file, then mv from the work file onto its name.
#pragma once

#include "place.h"
#include "workfile.h"

#include <string>

namespace eolscrub2 {

struct commands {
    std::string rm;
    std::string mv;
};

// The commands run where the caller runs them, in the current directory
// and with the caller's search paths, as any command the caller typed
// would; each shell replaces itself with the utility. They reach the work
// file by its name in the current directory, which they inherit, and the
// file through at.for_commands(); mv never moves the work file into a directory
// that has taken the file's name.
commands compose(const place& at, const workfile& work);

// Runs one command through the shell. Its status as system(3) gives it.
int run_command(const std::string& text);

} // namespace eolscrub2
