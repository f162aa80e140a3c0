// SPDX-License-Identifier: ISC
// Reads and writes that go on until they are done.
#pragma once

#include "fd.h"

#include <cerrno>
#include <cstddef>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace eolscrub2 {

// Reads up to size bytes into buf, going on after an interrupted call, and
// sets got to the count (0 at the end). 0 or an errno.
inline int read_some(int f, unsigned char* buf, std::size_t size, std::size_t& got)
{
    for (;;) {
        ssize_t n = read(f, buf, size);
        if (n >= 0) {
            got = static_cast<std::size_t>(n);
            return 0;
        }
        if (errno != EINTR)
            return errno;
    }
}

// Reads until size bytes or the end; got is the count. 0 or an errno.
inline int read_full(int f, unsigned char* buf, std::size_t size, std::size_t& got)
{
    got = 0;
    while (got < size) {
        std::size_t n = 0;
        if (int err = read_some(f, buf + got, size - got, n))
            return err;
        if (n == 0)
            break;
        got += n;
    }
    return 0;
}

// Reads a small file of the system's (/etc, /proc) whole into text.
// 0 or an errno.
inline int read_file(const char* path, std::string& text)
{
    fd f{open(path, O_RDONLY | O_CLOEXEC)};
    if (!f.ok())
        return errno;
    text.clear();
    for (std::size_t got = 1; got > 0;) {
        unsigned char block[4096];
        if (int err = read_some(f.get(), block, sizeof block, got))
            return err;
        text.append(reinterpret_cast<const char*>(block), got);
    }
    return 0;
}

// Writes all n bytes. 0 or an errno. Pipes and nearly full disks take part
// of a write; the next call writes the rest.
inline int write_all(int f, const unsigned char* p, std::size_t n)
{
    while (n > 0) {
        ssize_t w = write(f, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return 0;
}

} // namespace eolscrub2
