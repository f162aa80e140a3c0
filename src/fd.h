// File descriptors: an owner, and reads and writes that go on until done.
#pragma once

#include <cerrno>
#include <cstddef>
#include <tuple>
#include <utility>

#include <unistd.h>

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

// Reads up to size bytes, going on after an interrupted call. Returns the
// count, 0 at the end, or -1 with errno set.
inline ssize_t get(int f, unsigned char* buf, std::size_t size)
{
    for (;;) {
        ssize_t n = read(f, buf, size);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

// Writes all n bytes. 0, or the errno of the write that failed. Pipes and
// nearly full disks take part of a write; the next call writes the rest.
inline int put(int f, const unsigned char* p, std::size_t n)
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
