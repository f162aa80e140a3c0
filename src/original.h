// SPDX-License-Identifier: ISC
// The file as it was read.
#pragma once

#include "attrs.h"
#include "fd.h"
#include "lease.h"
#include "place.h"

#include <string>

#include <sys/stat.h>

namespace eolscrub2 {

// The name given, the descriptor read and the lease on it, what stat said,
// where it lies, and its attributes.
struct original {
    std::string path;
    fd in;
    lease_state lease = lease_state::none;
    struct stat st {};
    place at;
    attrs a;
};

} // namespace eolscrub2
