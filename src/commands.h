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

// The commands' texts, to be run in the file's directory. Each shell
// replaces itself with the utility.
commands compose(const place& at, const workfile& work);

// Runs one command through the shell. Its status as system(3) gives it.
int run_command(const std::string& text);

} // namespace eolscrub2
