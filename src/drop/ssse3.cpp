// SPDX-License-Identifier: ISC
#include "drop.h"

#include "convert.h"

#if defined(__x86_64__)

#include <bit>
#include <immintrin.h>

namespace eolscrub2 {

// 16 bytes a step. A step with nothing to drop is stored as it is; one
// with CR or SUB has each half packed by a shuffle from the table and
// stored at the running output position.
__attribute__((target("ssse3,popcnt"))) std::size_t drop_ssse3(const unsigned char* src,
                                                               std::size_t n, unsigned char* dst)
{
    const __m128i vcr = _mm_set1_epi8(static_cast<char>(cr));
    const __m128i vsub = _mm_set1_epi8(static_cast<char>(sub));
    unsigned char* d = dst;
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(v, vcr), _mm_cmpeq_epi8(v, vsub));
        auto dropped = static_cast<unsigned>(_mm_movemask_epi8(hit));
        if (dropped == 0) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d), v);
            d += 16;
            continue;
        }
        unsigned lo = ~dropped & 0xff;
        unsigned hi = (~dropped >> 8) & 0xff;
        // The high half's indices point 8 bytes further; 0x80 + 8 still
        // has the top bit set and still writes a zero.
        std::uint64_t high = gather[hi] + 0x0808080808080808u;
        __m128i idx =
            _mm_set_epi64x(static_cast<long long>(high), static_cast<long long>(gather[lo]));
        __m128i packed = _mm_shuffle_epi8(v, idx);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(d), packed);
        d += std::popcount(lo);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(d), _mm_unpackhi_epi64(packed, packed));
        d += std::popcount(hi);
    }
    return static_cast<std::size_t>(d - dst) + drop_plain(src + i, n - i, d);
}

} // namespace eolscrub2

#endif
