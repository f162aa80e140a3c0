// SPDX-License-Identifier: ISC
// Descriptors and the files behind them: an owner, reads and writes that
// go on until done, and what makes two looks at a file the same file.
#pragma once

#include <cerrno>
#include <cstddef>
#include <string>
#include <tuple>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace eolscrub2 {

// Owns one descriptor. Where a close can lose data, call close() and look
// at its result; the destructor's close is for descriptors only read, or
// for paths already failing.
class fd {
public:
    explicit fd(int n = -1) : n_(n) {}
    fd(fd&& o) noexcept : n_(std::exchange(o.n_, -1)) {}
    fd& operator=(fd&& o) noexcept
    {
        std::swap(n_, o.n_);
        return *this;
    }
    fd(const fd&) = delete;
    fd& operator=(const fd&) = delete;
    ~fd()
    {
        if (n_ >= 0)
            std::ignore = ::close(n_); // nothing written through it is at stake
    }

    int get() const { return n_; }
    bool ok() const { return n_ >= 0; }

    // 0, or the errno of the failed close. The descriptor is gone either way.
    int close() { return ::close(std::exchange(n_, -1)) == 0 ? 0 : errno; }

private:
    int n_;
};

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

// A failure in a copy from one file to another: its errno (0: none) and
// which side it was on, so that the message can name that file.
struct fault {
    int err = 0;
    bool reading = false;
};

inline bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The same file with nothing written to it in between: its size and times
// are as they were.
inline bool unchanged_since(const struct stat& a, const struct stat& b)
{
    return same_file(a, b) && a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
           a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

} // namespace eolscrub2
