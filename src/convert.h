// SPDX-License-Identifier: ISC
// The byte conversion: CR and SUB dropped wherever they stand, a final LF
// ensured. It knows nothing of files, so the program, the tests, the fuzz
// targets and the benchmark all drive it the same way, block by block.
#pragma once

#include <cstddef>
#include <vector>

namespace eolscrub2 {

inline constexpr unsigned char lf = 0x0a;
inline constexpr unsigned char cr = 0x0d;
inline constexpr unsigned char sub = 0x1a;

// The size of the blocks the program reads, converts and writes: large
// enough that the system calls cost little next to the copy, small enough
// to stay in the processor's cache while a block is converted.
inline constexpr std::size_t block_size = 512 * 1024;

// The kernels that do the copy, one per instruction set. Every one gives
// the same bytes; they differ only in how many bytes they look at per
// step: plain C++ one, SSSE3 16, AVX2 32, AVX-512 (with VBMI2) 64 on
// x86-64, NEON 16 on ARM64.
enum class kernel { plain, ssse3, avx2, avx512, neon };

// The kernels this processor can run, the fastest last; best() is that one.
std::vector<kernel> kernels();
kernel best();
const char* kernel_name(kernel k);

// Copies n bytes from src to dst, leaving out every CR and SUB, and returns
// the number written. dst needs room for n bytes; it may equal src (the
// copy then works in place) but must not otherwise overlap it.
std::size_t drop(kernel k, const unsigned char* src, std::size_t n, unsigned char* dst);

// One stream's conversion. Blocks are fed in order, cut anywhere; the only
// thing carried from one block to the next is whether the last byte written
// so far is LF, which decides the final LF.
class scrub {
public:
    explicit scrub(kernel k = best()) : k_(k) {}

    std::size_t feed(const unsigned char* src, std::size_t n, unsigned char* dst)
    {
        std::size_t m = drop(k_, src, n, dst);
        if (m > 0)
            ends_lf_ = dst[m - 1] == lf;
        return m;
    }

    // Zero bytes were written without being fed, as a hole.
    void zeros() { ends_lf_ = false; }

    // Whether one LF must follow what has been written: nothing was
    // written, or the last byte written is not LF.
    bool needs_lf() const { return !ends_lf_; }

private:
    kernel k_;
    bool ends_lf_ = false;
};

} // namespace eolscrub2
