// SPDX-License-Identifier: ISC
#include "drop.h"

#include "convert.h"

#if defined(__x86_64__)

#include <bit>
#include <immintrin.h>

namespace eolscrub2 {

#define SSSE3 __attribute__((target("ssse3,popcnt")))

namespace {

SSSE3 inline __m128i hits(__m128i v)
{
    const __m128i vcr = _mm_set1_epi8(static_cast<char>(cr));
    const __m128i vsub = _mm_set1_epi8(static_cast<char>(sub));
    return _mm_or_si128(_mm_cmpeq_epi8(v, vcr), _mm_cmpeq_epi8(v, vsub));
}

// For each place p of a byte to drop, the shuffle that moves the bytes
// after it down one (the last is then any byte, past those kept); row 16,
// for none, keeps them all.
alignas(16) constexpr std::array<std::array<unsigned char, 16>, 17> skip = [] {
    std::array<std::array<unsigned char, 16>, 17> t{};
    for (unsigned p = 0; p <= 16; p++) {
        for (unsigned i = 0; i < 16; i++)
            t[p][i] = static_cast<unsigned char>(i < p ? i : i + 1);
    }
    return t;
}();

// At most one byte to drop, which is every step of CR LF text whose lines
// are 16 bytes or more: one shuffle from its row. A step with none takes
// the same way: a branch of its own cannot be foreseen on lines of varied
// lengths, and costs more there than the shuffle.
SSSE3 inline unsigned char* one(__m128i v, unsigned m, unsigned char* d)
{
    // The bit above the step's 16 makes p 16 where there is none.
    auto p = static_cast<unsigned>(std::countr_zero(m | 0x10000u));
    __m128i idx = _mm_load_si128(reinterpret_cast<const __m128i*>(skip[p].data()));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_shuffle_epi8(v, idx));
    return d + 16 - (m != 0);
}

// Any number to drop: each half packed by a shuffle from the table and
// stored at the running output position.
SSSE3 inline unsigned char* table(__m128i v, unsigned m, unsigned char* d)
{
    unsigned lo = ~m & 0xff;
    unsigned hi = (~m >> 8) & 0xff;
    // The high half's indices point 8 bytes further; 0x80 + 8 still
    // has the top bit set and still writes a zero.
    std::uint64_t high = gather[hi] + 0x0808080808080808u;
    __m128i idx = _mm_set_epi64x(static_cast<long long>(high), static_cast<long long>(gather[lo]));
    __m128i packed = _mm_shuffle_epi8(v, idx);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(d), packed);
    d += std::popcount(lo);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(d), _mm_unpackhi_epi64(packed, packed));
    return d + std::popcount(hi);
}

SSSE3 inline unsigned char* step(__m128i v, __m128i hit, unsigned char* d)
{
    auto m = static_cast<unsigned>(_mm_movemask_epi8(hit));
    return (m & (m - 1)) == 0 ? one(v, m, d) : table(v, m, d);
}

} // namespace

// 16 bytes a step. As in the AVX2 kernel, whether there is anything to
// drop is asked once per 64 bytes, not per step, and text without CR is
// then stored as it is.
SSSE3 std::size_t drop_ssse3(const unsigned char* src, std::size_t n, unsigned char* dst)
{
    unsigned char* d = dst;
    std::size_t i = 0;
    for (; i + 64 <= n; i += 64) {
        const auto* s = reinterpret_cast<const __m128i*>(src + i);
        __m128i v0 = _mm_loadu_si128(s);
        __m128i v1 = _mm_loadu_si128(s + 1);
        __m128i v2 = _mm_loadu_si128(s + 2);
        __m128i v3 = _mm_loadu_si128(s + 3);
        __m128i h0 = hits(v0);
        __m128i h1 = hits(v1);
        __m128i h2 = hits(v2);
        __m128i h3 = hits(v3);
        __m128i any = _mm_or_si128(_mm_or_si128(h0, h1), _mm_or_si128(h2, h3));
        if (_mm_movemask_epi8(any) == 0) {
            auto* o = reinterpret_cast<__m128i*>(d);
            _mm_storeu_si128(o, v0);
            _mm_storeu_si128(o + 1, v1);
            _mm_storeu_si128(o + 2, v2);
            _mm_storeu_si128(o + 3, v3);
            d += 64;
            continue;
        }
        d = step(v0, h0, d);
        d = step(v1, h1, d);
        d = step(v2, h2, d);
        d = step(v3, h3, d);
    }
    for (; i + 16 <= n; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        d = step(v, hits(v), d);
    }
    return static_cast<std::size_t>(d - dst) + drop_plain(src + i, n - i, d);
}

} // namespace eolscrub2

#endif
