// SPDX-License-Identifier: ISC
#include "lease.h"

#include "signals.h"

#include <cerrno>

#include <fcntl.h>

namespace eolscrub2 {

lease_state take_lease(int f)
{
    // Watched before it is asked for: the kernel's SIGIO, whose default
    // action would end the run, can come the moment the lease is granted.
    watch_lease();
    if (fcntl(f, F_SETLEASE, F_RDLCK) == 0)
        return lease_state::held;
    return errno == EAGAIN ? lease_state::writers : lease_state::none;
}

bool lease_kept(int f, lease_state lease)
{
    // A lease being broken reads as the type it is to become, F_UNLCK.
    return lease != lease_state::held || fcntl(f, F_GETLEASE) == F_RDLCK;
}

} // namespace eolscrub2
