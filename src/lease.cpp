// SPDX-License-Identifier: ISC
#include "lease.h"

#include "signals.h"

#include <cerrno>

#include <fcntl.h>

namespace eolscrub2 {

lease_state take_lease(int in)
{
    // Watched before it is asked for: the break can come the moment the
    // lease is granted.
    watch_lease(true);
    if (fcntl(in, F_SETLEASE, F_RDLCK) == 0)
        return lease_state::held;
    int err = errno;
    watch_lease(false);
    return err == EAGAIN ? lease_state::writers : lease_state::none;
}

} // namespace eolscrub2
