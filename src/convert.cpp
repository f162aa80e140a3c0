#include "convert.h"

#include <array>
#include <bit>
#include <cstdint>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

std::size_t drop_plain(const unsigned char* src, std::size_t n, unsigned char* dst)
{
    unsigned char* d = dst;
    for (std::size_t i = 0; i < n; i++) {
        unsigned char c = src[i];
        // Always store, advance only past a kept byte: no branch to
        // mispredict on text where CRs come every few dozen bytes.
        *d = c;
        d += (c != cr) & (c != sub);
    }
    return static_cast<std::size_t>(d - dst);
}

#if defined(__x86_64__)

// For each set of kept bytes among 8 (bit i: byte i is kept), the shuffle
// that gathers them at the front: their indices in order, then 0x80, which
// makes pshufb write a zero.
constexpr std::array<std::uint64_t, 256> gather = [] {
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

// 16 bytes a step. A step with nothing to drop is stored as it is; one
// with CR or SUB has each half packed by a shuffle from the table and
// stored at the running output position. Every store stays within the
// bytes already loaded, so the copy may work in place.
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

// 64 bytes a step: vpcompressb packs the kept bytes in one instruction.
// The last partial step uses masked loads and stores, which touch no byte
// outside the mask.
__attribute__((target("avx512f,avx512bw,avx512vbmi2,bmi2,popcnt"))) std::size_t
drop_avx512(const unsigned char* src, std::size_t n, unsigned char* dst)
{
    const __m512i vcr = _mm512_set1_epi8(static_cast<char>(cr));
    const __m512i vsub = _mm512_set1_epi8(static_cast<char>(sub));
    unsigned char* d = dst;
    std::size_t i = 0;
    for (; i + 64 <= n; i += 64) {
        __m512i v = _mm512_loadu_si512(src + i);
        __mmask64 keep = ~(_mm512_cmpeq_epi8_mask(v, vcr) | _mm512_cmpeq_epi8_mask(v, vsub));
        _mm512_storeu_si512(d, _mm512_maskz_compress_epi8(keep, v));
        d += _mm_popcnt_u64(keep);
    }
    if (i < n) {
        __mmask64 live = _bzhi_u64(~std::uint64_t{0}, static_cast<unsigned>(n - i));
        __m512i v = _mm512_maskz_loadu_epi8(live, src + i);
        __mmask64 keep = live & ~(_mm512_cmpeq_epi8_mask(v, vcr) | _mm512_cmpeq_epi8_mask(v, vsub));
        std::uint64_t k = _mm_popcnt_u64(keep);
        _mm512_mask_storeu_epi8(d, _bzhi_u64(~std::uint64_t{0}, static_cast<unsigned>(k)),
                                _mm512_maskz_compress_epi8(keep, v));
        d += k;
    }
    return static_cast<std::size_t>(d - dst);
}

#endif

} // namespace

std::vector<kernel> kernels()
{
    std::vector<kernel> k{kernel::plain};
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("ssse3") && __builtin_cpu_supports("popcnt"))
        k.push_back(kernel::ssse3);
    if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi2") &&
        __builtin_cpu_supports("bmi2"))
        k.push_back(kernel::avx512);
#endif
    return k;
}

kernel best()
{
    static const kernel k = kernels().back();
    return k;
}

const char* name(kernel k)
{
    switch (k) {
    case kernel::plain:
        return "plain";
    case kernel::ssse3:
        return "ssse3";
    case kernel::avx512:
        return "avx512";
    }
    return "?";
}

std::size_t drop(kernel k, const unsigned char* src, std::size_t n, unsigned char* dst)
{
    switch (k) {
    case kernel::plain:
        break;
#if defined(__x86_64__)
    case kernel::ssse3:
        return drop_ssse3(src, n, dst);
    case kernel::avx512:
        return drop_avx512(src, n, dst);
#else
    default:
        break;
#endif
    }
    return drop_plain(src, n, dst);
}
