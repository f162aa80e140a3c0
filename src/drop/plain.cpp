// SPDX-License-Identifier: ISC
#include "drop.h"

#include "convert.h"

namespace eolscrub2 {

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

} // namespace eolscrub2
