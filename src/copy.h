// SPDX-License-Identifier: ISC
// Moving bytes between descriptors through the conversion: the buffer, the
// copy loop, the look for a file that needs no change, and the comparison
// of two files.
#pragma once

#include "failure.h"

#include <cstddef>
#include <memory>

#include <sys/stat.h>
#include <sys/types.h>

namespace eolscrub2 {

// Room for one block, or for the whole file when it is smaller: a small
// file's run touches no more memory than it needs. One buffer serves the
// whole run, so that nothing is allocated once the replacement has begun.
// It starts on a page: the kernel copies to and from such a buffer several
// times faster on some processors (AMD's Zen) than to one a few bytes in.
struct buffer {
    struct release {
        void operator()(unsigned char* p) const noexcept;
    };
    std::size_t size = 0;
    std::unique_ptr<unsigned char[], release> bytes;

    buffer() = default; // none yet
    explicit buffer(off_t hint);
};

inline constexpr off_t flush_every = 8 << 20;

// Whether the file stat describes may have holes: fewer blocks than its
// size needs. Only then are they looked for.
bool may_have_holes(const struct stat& st);

// Copies in to out through the conversion, each block converted where it
// was read. Into a file on disk (`to_disk`), the kernel is asked to start
// writing every few megabytes (flush_every), so that the final fsync has
// little left to wait for and the page cache is not filled with dirty
// pages. Where in has
// holes (`holes`), they stay holes in out: the zeros they read as take no
// disk there either. A failure is about the file read, or the one written.
failure convert(int in, int out, bool to_disk, const buffer& buf, bool holes = false);

// Sets `changes` to whether the conversion would change the bytes of in:
// a CR, a SUB, or no final LF. Reading stops at the first block that would
// change, which for a CR LF file is the first one; holes, which read as
// zeros, are not read. 0 or an errno.
int needs_change(int in, const buffer& buf, bool& changes, bool holes = false);

// Sets `same` to whether a and b hold the same bytes, read from where each
// stands, with the two halves of buf. 0 or an errno.
int same_bytes(int a, int b, const buffer& buf, bool& same);

} // namespace eolscrub2
