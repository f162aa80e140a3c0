// SPDX-License-Identifier: ISC
#include "drop.h"

#include "convert.h"

#if defined(__aarch64__)

#include <arm_neon.h>
#include <bit>

namespace eolscrub2 {

namespace {

uint8x16_t hits(uint8x16_t v)
{
    return vorrq_u8(vceqq_u8(v, vdupq_n_u8(cr)), vceqq_u8(v, vdupq_n_u8(sub)));
}

// NEON has no movemask. Of eight bytes each 0 or 0xff, the top bits
// (bit 8i + 7) multiplied by bits 7j for j up to 7 land at 56 + i with no
// two products on the same bit, so no carry disturbs them: the top byte
// is the mask, bit i for byte i.
unsigned mask8(std::uint64_t x)
{
    return static_cast<unsigned>(((x & 0x8080808080808080u) * 0x0002040810204081u) >> 56);
}

// Each 8-byte half packed by tbl with the shuffle from the table (indices
// 0x80 are out of range and give zero) and stored at the running position.
unsigned char* step(uint8x16_t v, uint8x16_t hit, unsigned char* d)
{
    uint64x2_t h = vreinterpretq_u64_u8(hit);
    unsigned lo = ~mask8(vgetq_lane_u64(h, 0)) & 0xff;
    unsigned hi = ~mask8(vgetq_lane_u64(h, 1)) & 0xff;
    vst1_u8(d, vtbl1_u8(vget_low_u8(v), vcreate_u8(gather[lo])));
    d += std::popcount(lo);
    vst1_u8(d, vtbl1_u8(vget_high_u8(v), vcreate_u8(gather[hi])));
    return d + std::popcount(hi);
}

} // namespace

// 16 bytes a step. Whether there is anything to drop is asked once per 64
// bytes, from the compares narrowed to four bits a byte by vshrn: text
// without CR is then stored as it is, and CR LF text, where nearly every
// 64 bytes hold a CR, does not mispredict it.
std::size_t drop_neon(const unsigned char* src, std::size_t n, unsigned char* dst)
{
    unsigned char* d = dst;
    std::size_t i = 0;
    for (; i + 64 <= n; i += 64) {
        uint8x16x4_t v = vld1q_u8_x4(src + i);
        uint8x16_t h0 = hits(v.val[0]);
        uint8x16_t h1 = hits(v.val[1]);
        uint8x16_t h2 = hits(v.val[2]);
        uint8x16_t h3 = hits(v.val[3]);
        uint8x16_t any = vorrq_u8(vorrq_u8(h0, h1), vorrq_u8(h2, h3));
        uint8x8_t narrow = vshrn_n_u16(vreinterpretq_u16_u8(any), 4);
        if (vget_lane_u64(vreinterpret_u64_u8(narrow), 0) == 0) {
            vst1q_u8_x4(d, v);
            d += 64;
            continue;
        }
        d = step(v.val[0], h0, d);
        d = step(v.val[1], h1, d);
        d = step(v.val[2], h2, d);
        d = step(v.val[3], h3, d);
    }
    for (; i + 16 <= n; i += 16) {
        uint8x16_t v = vld1q_u8(src + i);
        d = step(v, hits(v), d);
    }
    return static_cast<std::size_t>(d - dst) + drop_plain(src + i, n - i, d);
}

} // namespace eolscrub2

#endif
