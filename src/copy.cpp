// SPDX-License-Identifier: ISC
#include "copy.h"

#include "convert.h"

#include <algorithm>
#include <cstring>

#include <fcntl.h>
#include <sys/types.h>

// Without the large-file and 64-bit-time interfaces a 32-bit build could
// not describe a file past 2 GiB or dated after 2038 (CMakeLists.txt asks
// for them).
static_assert(sizeof(off_t) == 8 && sizeof(time_t) == 8,
              "build with -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64");

namespace eolscrub2 {

namespace {

// The file's size and one byte, for the read that finds its end, between a
// page and a block. Compared as off_t: on a 32-bit system a size past
// 4 GiB does not fit a size_t, and cast first it would wrap to a small one.
std::size_t room_for(off_t hint)
{
    if (hint < 0 || hint >= static_cast<off_t>(block_size))
        return block_size;
    return std::max<std::size_t>(static_cast<std::size_t>(hint) + 1, 4096);
}

} // namespace

buffer::buffer(off_t hint)
    : size(room_for(hint)), bytes(std::make_unique_for_overwrite<unsigned char[]>(size))
{
}

fault convert(int in, int out, bool to_disk, const buffer& buf)
{
    constexpr off_t flush = 8 << 20;
    scrub s;
    off_t written = 0;
    off_t synced = 0;
    for (;;) {
        std::size_t got = 0;
        if (int err = read_some(in, buf.bytes.get(), buf.size, got))
            return {err, true};
        if (got == 0)
            break;
        std::size_t m = s.feed(buf.bytes.get(), got, buf.bytes.get());
        if (int err = write_all(out, buf.bytes.get(), m))
            return {err, false};
        written += static_cast<off_t>(m);
        if (to_disk && written - synced >= flush) {
            if (sync_file_range(out, synced, written - synced, SYNC_FILE_RANGE_WRITE) != 0)
                return {errno, false};
            synced = written;
        }
    }
    if (s.needs_lf()) {
        if (int err = write_all(out, &lf, 1))
            return {err, false};
    }
    return {};
}

int needs_change(int in, const buffer& buf, bool& changes)
{
    scrub s;
    changes = true;
    bool any = false;
    for (;;) {
        std::size_t got = 0;
        if (int err = read_some(in, buf.bytes.get(), buf.size, got))
            return err;
        if (got == 0)
            break;
        any = true;
        if (s.feed(buf.bytes.get(), got, buf.bytes.get()) != got)
            return 0;
    }
    changes = !any || s.needs_lf();
    return 0;
}

int same_bytes(int a, int b, const buffer& buf, bool& same)
{
    const std::size_t half = buf.size / 2;
    unsigned char* x = buf.bytes.get();
    unsigned char* y = x + half;
    same = false;
    for (;;) {
        std::size_t p = 0;
        std::size_t q = 0;
        if (int err = read_full(a, x, half, p))
            return err;
        if (int err = read_full(b, y, half, q))
            return err;
        if (p != q || std::memcmp(x, y, p) != 0)
            return 0;
        if (p == 0) {
            same = true;
            return 0;
        }
    }
}

} // namespace eolscrub2
