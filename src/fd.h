// SPDX-License-Identifier: ISC
// A descriptor's owner.
#pragma once

#include <cerrno>
#include <tuple>
#include <utility>

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

} // namespace eolscrub2
