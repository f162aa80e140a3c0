// SPDX-License-Identifier: ISC
// The kernels that do the copy, one file per instruction set, and the
// table the shuffling kernels share. Only convert.cpp calls them, having
// asked the processor which it can run. Each vector kernel is compiled for
// its instruction set by target attributes on its own functions, never by
// flags for a whole file: with such flags, inline functions from shared
// headers would be compiled with the newer instructions too, and the
// linker could keep that copy for every caller.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace eolscrub2 {

// Each copies n bytes from src to dst, leaving out every CR and SUB, and
// returns the number written; dst may equal src. A kernel's step only
// ever stores within the bytes it has already loaded, which is what lets it
// work in place.
std::size_t drop_plain(const unsigned char* src, std::size_t n, unsigned char* dst);
std::size_t drop_ssse3(const unsigned char* src, std::size_t n, unsigned char* dst);
std::size_t drop_avx2(const unsigned char* src, std::size_t n, unsigned char* dst);
std::size_t drop_avx512(const unsigned char* src, std::size_t n, unsigned char* dst);
std::size_t drop_neon(const unsigned char* src, std::size_t n, unsigned char* dst);

// For each set of kept bytes among 8 (bit i: byte i is kept), the shuffle
// that gathers them at the front: their indices in order, then 0x80, which
// both pshufb and tbl turn into a zero byte.
inline constexpr std::array<std::uint64_t, 256> gather = [] {
    std::array<std::uint64_t, 256> t{};
    for (unsigned m = 0; m < 256; m++) {
        std::uint64_t v = 0x8080808080808080u;
        unsigned k = 0;
        for (unsigned i = 0; i < 8; i++) {
            if (m & (1u << i)) {
                v &= ~(std::uint64_t{0xff} << (8 * k));
                v |= std::uint64_t{i} << (8 * k);
                k++;
            }
        }
        t[m] = v;
    }
    return t;
}();

} // namespace eolscrub2
