// SPDX-License-Identifier: ISC
#include "drop.h"

#include "convert.h"

#if defined(__x86_64__)

#include <immintrin.h>

namespace eolscrub2 {

// No bmi2: its pdep and pext take hundreds of cycles on AMD's processors
// before Zen 3, so nothing here may use them.
#define AVX2 __attribute__((target("avx2,bmi,popcnt")))

namespace {

// 32 zero bytes then 32 0xff: the 32 bytes from (32 - p) on pick the
// positions from p up. On one cache line, so that no load from it
// straddles two.
alignas(64) constexpr std::array<unsigned char, 64> from = [] {
    std::array<unsigned char, 64> a{};
    for (std::size_t i = 32; i < 64; i++)
        a[i] = 0xff;
    return a;
}();

// Where v holds CR or SUB, as bits.
AVX2 inline unsigned dropped(__m256i hit)
{
    return static_cast<unsigned>(_mm256_movemask_epi8(hit));
}

AVX2 inline __m256i hits(__m256i v)
{
    const __m256i vcr = _mm256_set1_epi8(static_cast<char>(cr));
    const __m256i vsub = _mm256_set1_epi8(static_cast<char>(sub));
    return _mm256_or_si256(_mm256_cmpeq_epi8(v, vcr), _mm256_cmpeq_epi8(v, vsub));
}

// At most one byte to drop, at p (32: none): the bytes from p on move
// down one, v shifted across both lanes and blended in. In CR LF text most
// steps are this one, and it is far cheaper than the shuffles.
AVX2 inline unsigned char* one(__m256i v, unsigned m, unsigned char* d)
{
    unsigned p = _tzcnt_u32(m);
    __m256i next = _mm256_alignr_epi8(_mm256_permute2x128_si256(v, v, 0x81), v, 1);
    __m256i sel = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from.data() + 32 - p));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d), _mm256_blendv_epi8(v, next, sel));
    return d + 32 - (m != 0);
}

// Any number to drop: each 8-byte group packed by a shuffle from the
// table, one pshufb for both lanes, and the four pieces stored at their
// running positions.
AVX2 inline unsigned char* table(__m256i v, unsigned m, unsigned char* d)
{
    unsigned k = ~m;
    unsigned k0 = k & 0xff;
    unsigned k1 = (k >> 8) & 0xff;
    unsigned k2 = (k >> 16) & 0xff;
    unsigned k3 = k >> 24;
    // pshufb indexes within each lane: the second group of a lane points
    // 8 bytes further (0x80 + 8 still writes a zero).
    const std::uint64_t half = 0x0808080808080808u;
    std::uint64_t g1 = gather[k1] + half;
    std::uint64_t g3 = gather[k3] + half;
    __m256i idx = _mm256_set_epi64x(static_cast<long long>(g3), static_cast<long long>(gather[k2]),
                                    static_cast<long long>(g1), static_cast<long long>(gather[k0]));
    __m256i packed = _mm256_shuffle_epi8(v, idx);
    __m128i lo = _mm256_castsi256_si128(packed);
    __m128i hi = _mm256_extracti128_si256(packed, 1);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(d), lo);
    d += _mm_popcnt_u32(k0);
    _mm_storeh_pi(reinterpret_cast<__m64*>(d), _mm_castsi128_ps(lo));
    d += _mm_popcnt_u32(k1);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(d), hi);
    d += _mm_popcnt_u32(k2);
    _mm_storeh_pi(reinterpret_cast<__m64*>(d), _mm_castsi128_ps(hi));
    return d + _mm_popcnt_u32(k3);
}

// Exactly two to drop, at p and q (p < q): the bytes between them move
// down one, those after q down two; v shifted by one and by two across
// both lanes, each blended in from where its stretch starts. Lines of 20
// bytes put two CRs in three steps of five, where the table's lookups and
// four stores at running positions cost far more.
AVX2 inline unsigned char* two(__m256i v, unsigned m, unsigned char* d)
{
    unsigned p = _tzcnt_u32(m);
    unsigned q = _tzcnt_u32(_blsr_u32(m));
    __m256i up = _mm256_permute2x128_si256(v, v, 0x81);
    __m256i next = _mm256_alignr_epi8(up, v, 1);
    __m256i after = _mm256_alignr_epi8(up, v, 2);
    __m256i sel = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from.data() + 32 - p));
    __m256i sel2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from.data() + 33 - q));
    __m256i r = _mm256_blendv_epi8(_mm256_blendv_epi8(v, next, sel), after, sel2);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d), r);
    return d + 30;
}

AVX2 inline unsigned char* step(__m256i v, unsigned m, unsigned char* d)
{
    unsigned k = _mm_popcnt_u32(m);
    return k <= 1 ? one(v, m, d) : k == 2 ? two(v, m, d) : table(v, m, d);
}

} // namespace

// 32 bytes a step. Whether a step has nothing to drop is asked once per
// 128 bytes: once per step would be wrong about every other time on CR LF
// text, while 128 bytes of it nearly always hold a CR, and text without
// CR is then stored as it is.
AVX2 std::size_t drop_avx2(const unsigned char* src, std::size_t n, unsigned char* dst)
{
    unsigned char* d = dst;
    std::size_t i = 0;
    for (; i + 128 <= n; i += 128) {
        const auto* s = reinterpret_cast<const __m256i*>(src + i);
        __m256i v0 = _mm256_loadu_si256(s);
        __m256i v1 = _mm256_loadu_si256(s + 1);
        __m256i v2 = _mm256_loadu_si256(s + 2);
        __m256i v3 = _mm256_loadu_si256(s + 3);
        __m256i h0 = hits(v0);
        __m256i h1 = hits(v1);
        __m256i h2 = hits(v2);
        __m256i h3 = hits(v3);
        __m256i any = _mm256_or_si256(_mm256_or_si256(h0, h1), _mm256_or_si256(h2, h3));
        if (_mm256_testz_si256(any, any)) {
            auto* o = reinterpret_cast<__m256i*>(d);
            _mm256_storeu_si256(o, v0);
            _mm256_storeu_si256(o + 1, v1);
            _mm256_storeu_si256(o + 2, v2);
            _mm256_storeu_si256(o + 3, v3);
            d += 128;
            continue;
        }
        d = step(v0, dropped(h0), d);
        d = step(v1, dropped(h1), d);
        d = step(v2, dropped(h2), d);
        d = step(v3, dropped(h3), d);
    }
    for (; i + 32 <= n; i += 32) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
        d = step(v, dropped(hits(v)), d);
    }
    return static_cast<std::size_t>(d - dst) + drop_plain(src + i, n - i, d);
}

} // namespace eolscrub2

#endif
