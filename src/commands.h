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
    std::string path; // the search path they are run with; empty: the shell's
};

// The commands, to be run in the file's directory: each shell replaces
// itself with the utility. mv reaches the work file through work.reach(),
// and never moves it into a directory that has taken the file's name.
// The search path is the caller's, with every entry that the shell would
// look up in the current directory (empty, or relative) made to lead from
// the caller's current directory, never from the file's. path is the
// caller's PATH, or nullptr when it has none.
commands compose(const place& at, const workfile& work, const char* path);

// Runs one command through the shell. Its status as system(3) gives it.
int run_command(const std::string& text);

} // namespace eolscrub2
