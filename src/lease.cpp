// SPDX-License-Identifier: ISC
#include "lease.h"

#include "signals.h"
#include "volume.h"

#include <cerrno>

#include <fcntl.h>

namespace eolscrub2 {

namespace {

// The kernel's answers, first match wins; type 0 is any file system.
const struct {
    fs_type type;
    int err;
    lease_state means;
} answers[] = {
    {0, 0, lease_state::held},
    // nfs4_add_lease(): "No delegation, no lease". Without a read
    // delegation from the server the NFSv4 client gives no lease, whoever
    // has the file open; NFSv2 and v3 give none at all (EINVAL, below).
    {magic::nfs, EAGAIN, lease_state::none},
    // cifs_setlease(): without a read oplock from the server the SMB
    // client gives none either.
    {magic::cifs, EAGAIN, lease_state::none},
    {magic::smb2, EAGAIN, lease_state::none},
    // generic_setlease(), for every other: the file is open for writing
    // or mapped writable here.
    {0, EAGAIN, lease_state::writers},
    // simple_nosetlease() (NFSv3, 9p, ceph, gfs2 with cluster locks):
    // EINVAL; EACCES for a file that is not the caller's.
};

} // namespace

lease_state lease_answer(fs_type type, int err)
{
    for (const auto& a : answers) {
        if ((a.type == 0 || a.type == type) && a.err == err)
            return a.means;
    }
    return lease_state::none;
}

lease_state take_lease(int f)
{
    // Watched before it is asked for: the kernel's SIGIO, whose default
    // action would end the run, can come the moment the lease is granted.
    watch_lease();
    if (fcntl(f, F_SETLEASE, F_RDLCK) == 0)
        return lease_state::held;
    // The kind of file system matters only to this answer.
    const int err = errno;
    return lease_answer(err == EAGAIN ? type_of(f) : 0, err);
}

bool lease_kept(int f, lease_state lease)
{
    // A lease being broken reads as the type it is to become, F_UNLCK.
    return lease != lease_state::held || fcntl(f, F_GETLEASE) == F_RDLCK;
}

} // namespace eolscrub2
