// SPDX-License-Identifier: ISC
// Another program writing the file while it is converted.
#pragma once

namespace eolscrub2 {

enum class lease_state {
    held,    // granted: a program that opens the file for writing breaks it
    writers, // refused: a program has the file open for writing or mapped
    none,    // not granted here: not the caller's file, or no leases there
};

// Takes a read lease on in. While it is held, the kernel tells of a program
// that opens the file for writing (lease_broken()), and holds that open
// back until the lease is given up, which closing in does.
lease_state take_lease(int in);

} // namespace eolscrub2
