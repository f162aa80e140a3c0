// SPDX-License-Identifier: ISC
// What one run knows, in one place: the file as it was read, where it
// lies and what makes it what it is, the one buffer, and the work file.
#pragma once

#include "attrs.h"
#include "copy.h"
#include "fd.h"
#include "lease.h"
#include "place.h"
#include "workfile.h"

#include <string>

#include <sys/stat.h>

namespace eolscrub2 {

struct run {
    std::string path; // the file's name, as given
    fd in;            // the file, open for reading
    lease_state lease = lease_state::none;
    struct stat st {};  // what it was when opened
    bool holes = false; // it may have holes
    place at;           // where it lies; for a link, the file it leads to
    attrs a;            // all that makes it what it is, beside its bytes
    buffer buf;         // room for a block, or the whole file
    workfile work;      // where the converted text is written
    missed m;           // what the work file, or mv's copy, could not be given
};

} // namespace eolscrub2
