// SPDX-License-Identifier: ISC
#include "copy.h"

#include "convert.h"
#include "io.h"
#include "progress.h"

#include <algorithm>
#include <cstring>
#include <new>

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

constexpr std::align_val_t page{4096};

} // namespace

buffer::buffer(off_t hint)
    : size(room_for(hint)), bytes(static_cast<unsigned char*>(::operator new[](size, page)))
{
}

void buffer::release::operator()(unsigned char* p) const noexcept
{
    ::operator delete[](p, page);
}

bool may_have_holes(const struct stat& st)
{
    return st.st_blocks < (st.st_size + 511) / 512;
}

namespace {

// Where in's data lies from pos on: [data, hole), after a hole from pos to
// data; data is end where the rest is a hole. Leaves in at data. 0 or an
// errno.
int next_data(int in, off_t pos, off_t end, off_t& data, off_t& hole)
{
    data = lseek(in, pos, SEEK_DATA);
    if (data < 0) {
        // ENXIO: no data after pos.
        if (errno != ENXIO)
            return errno;
        data = hole = end;
        return 0;
    }
    hole = lseek(in, data, SEEK_HOLE);
    if (hole < 0 || lseek(in, data, SEEK_SET) < 0)
        return errno;
    return 0;
}

// Calls f(block, n) for each block of in's data in turn, from where it
// stands, and hole(n) for each hole, until the end or until f returns
// false. Without holes, in is simply read to its end. 0 or an errno of
// reading.
template <class F, class H>
int each_block(int in, const buffer& buf, bool holes, F f, H hole)
{
    off_t end = -1; // to the end of what read gives
    off_t pos = 0;
    off_t data = 0;
    off_t stop = -1;
    if (holes && (end = lseek(in, 0, SEEK_END)) < 0)
        return errno;
    for (;;) {
        if (holes) {
            if (pos >= end)
                return 0;
            if (int err = next_data(in, pos, end, data, stop))
                return err;
            if (data > pos && !hole(data - pos))
                return 0;
            pos = data;
            if (pos >= end)
                return 0;
        }
        for (;;) {
            std::size_t want = buf.size;
            if (stop >= 0 && stop - pos < static_cast<off_t>(want))
                want = static_cast<std::size_t>(stop - pos);
            if (want == 0)
                break;
            std::size_t got = 0;
            if (int err = read_some(in, buf.bytes.get(), want, got))
                return err;
            // Shorter than it was: what is read is all there is.
            if (got == 0)
                return 0;
            pos += static_cast<off_t>(got);
            progress::converted(pos); // nothing, unless the run began a line
            if (!f(buf.bytes.get(), got))
                return 0;
        }
        if (!holes)
            return 0;
    }
}

} // namespace

failure convert(int in, int out, bool to_disk, const buffer& buf, bool holes)
{
    scrub s;
    off_t written = 0;
    off_t synced = 0;
    int werr = 0; // writing
    const auto block = [&](unsigned char* b, std::size_t n) {
        std::size_t m = s.feed(b, n, b);
        if ((werr = write_all(out, b, m)) != 0)
            return false;
        written += static_cast<off_t>(m);
        if (to_disk && written - synced >= flush_every) {
            if (sync_file_range(out, synced, written - synced, SYNC_FILE_RANGE_WRITE) != 0) {
                werr = errno;
                return false;
            }
            synced = written;
        }
        return true;
    };
    const auto hole = [&](off_t n) {
        // Past the end, a write leaves a hole behind it.
        if (lseek(out, n, SEEK_CUR) < 0) {
            werr = errno;
            return false;
        }
        s.zeros();
        written += n;
        synced = synced == written - n ? written : synced;
        return true;
    };
    if (int err = each_block(in, buf, holes, block, hole))
        return {err, about::file};
    if (werr != 0)
        return {werr, about::work};
    if (s.needs_lf()) {
        if (int err = write_all(out, &lf, 1))
            return {err, about::work};
    }
    return {};
}

int needs_change(int in, const buffer& buf, bool& changes, bool holes)
{
    scrub s;
    bool any = false;
    changes = false;
    int err = each_block(
        in, buf, holes,
        [&](unsigned char* b, std::size_t n) {
            any = true;
            changes = s.feed(b, n, b) != n;
            return !changes;
        },
        [&](off_t) {
            any = true;
            s.zeros();
            return true;
        });
    changes = changes || !any || s.needs_lf();
    return err;
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
