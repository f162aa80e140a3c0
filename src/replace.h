// SPDX-License-Identifier: ISC
// The replacement: the work file put in the file's place by rm and mv, what
// they left looked at, and the result made durable.
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

// The file as it was read: the name given, the descriptor read and the
// lease on it, what stat said, where it lies, and its attributes.
struct original {
    std::string path;
    fd in;
    lease_state lease = lease_state::none;
    struct stat st {};
    place at;
    attrs a;
};

// Replaces the file f by the work file, once it is sure the name still
// leads to that file, unchanged, and that no program has opened it for
// writing since; m is what the work file could not be given. Says what
// went wrong; the run's status.
int replace(const original& f, workfile& work, missed& m, const buffer& buf);

} // namespace eolscrub2
