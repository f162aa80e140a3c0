// SPDX-License-Identifier: ISC
#include "drop.h"

#include "convert.h"

#if defined(__x86_64__)

#include <immintrin.h>

namespace eolscrub2 {

#define AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi2,bmi2,popcnt")))

namespace {

// The bytes of v that are neither CR nor SUB.
AVX512 inline __mmask64 kept(__m512i v)
{
    const __m512i vcr = _mm512_set1_epi8(static_cast<char>(cr));
    const __m512i vsub = _mm512_set1_epi8(static_cast<char>(sub));
    return _mm512_mask_cmpneq_epi8_mask(_mm512_cmpneq_epi8_mask(v, vcr), v, vsub);
}

// vpcompressb packs the kept bytes at the front. Only its register form,
// merging into v itself, is quick on AMD's processors too: the form that
// stores to memory and the one that zeroes the rest take several times
// as long there. The bytes past the kept ones are v's own, and the store
// stays within the 64 bytes loaded.
AVX512 inline unsigned char* pack(__m512i v, __mmask64 keep, unsigned char* d)
{
    _mm512_storeu_si512(d, _mm512_mask_compress_epi8(v, keep, v));
    return d + _mm_popcnt_u64(keep);
}

// Fewer than 64 bytes: masked loads and stores touch no byte outside
// their masks.
AVX512 inline unsigned char* part(const unsigned char* src, std::size_t n, unsigned char* d)
{
    __mmask64 live = _bzhi_u64(~std::uint64_t{0}, static_cast<unsigned>(n));
    __m512i v = _mm512_maskz_loadu_epi8(live, src);
    __mmask64 keep = live & kept(v);
    std::uint64_t k = _mm_popcnt_u64(keep);
    _mm512_mask_storeu_epi8(d, _bzhi_u64(~std::uint64_t{0}, static_cast<unsigned>(k)),
                            _mm512_mask_compress_epi8(v, keep, v));
    return d + k;
}

} // namespace

// 64 bytes a step, four steps at a time: on text without CR, four steps
// with nothing to drop are stored as they are; on CR LF text nearly every
// 256 bytes hold a CR, so the test is predicted either way, where one per
// step would be wrong about every other time.
AVX512 std::size_t drop_avx512(const unsigned char* src, std::size_t n, unsigned char* dst)
{
    unsigned char* d = dst;
    // A load across two cache lines costs two: the bytes up to the first
    // line boundary go first, and every later load is of one whole line.
    std::size_t i = -reinterpret_cast<std::uintptr_t>(src) % 64;
    if (i >= n)
        return static_cast<std::size_t>(part(src, n, d) - dst);
    if (i > 0)
        d = part(src, i, d);
    for (; i + 256 <= n; i += 256) {
        __m512i v0 = _mm512_loadu_si512(src + i);
        __m512i v1 = _mm512_loadu_si512(src + i + 64);
        __m512i v2 = _mm512_loadu_si512(src + i + 128);
        __m512i v3 = _mm512_loadu_si512(src + i + 192);
        __mmask64 k0 = kept(v0);
        __mmask64 k1 = kept(v1);
        __mmask64 k2 = kept(v2);
        __mmask64 k3 = kept(v3);
        if ((k0 & k1 & k2 & k3) == ~__mmask64{0}) {
            _mm512_storeu_si512(d, v0);
            _mm512_storeu_si512(d + 64, v1);
            _mm512_storeu_si512(d + 128, v2);
            _mm512_storeu_si512(d + 192, v3);
            d += 256;
            continue;
        }
        d = pack(v0, k0, d);
        d = pack(v1, k1, d);
        d = pack(v2, k2, d);
        d = pack(v3, k3, d);
    }
    for (; i + 64 <= n; i += 64) {
        __m512i v = _mm512_loadu_si512(src + i);
        d = pack(v, kept(v), d);
    }
    if (i < n)
        d = part(src + i, n - i, d);
    return static_cast<std::size_t>(d - dst);
}

} // namespace eolscrub2

#endif
