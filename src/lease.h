// SPDX-License-Identifier: ISC
// Another program writing the file while it is converted.
#pragma once

#include "volume.h"

namespace eolscrub2 {

enum class lease_state {
    held,    // granted: a program that opens the file for writing breaks it
    writers, // refused: a program has the file open for writing or mapped
    none,    // not granted here: not the caller's file, or no leases there
};

// Takes a read lease on f. While it is held, the kernel holds back a
// program that opens the file for writing until the lease is given up,
// which closing f does, and marks the lease broken.
lease_state take_lease(int f);

// What F_SETLEASE's answer (0 or an errno) means on a file system of this
// type (statfs's f_type).
lease_state lease_answer(fs_type type, int err);

// Whether a lease taken on f is still unbroken: no program has opened the
// file for writing since. The kernel is asked, so that a break is known
// whatever the caller's signal mask made of its SIGIO. Where no lease was
// granted, true: nothing tells then.
bool lease_kept(int f, lease_state lease);

} // namespace eolscrub2
