// SPDX-License-Identifier: ISC
#include "drop.h"

#include "convert.h"

#include <cstring>

namespace eolscrub2 {

namespace {

// A machine word of bytes, looked at all at once.
using word = std::size_t;

constexpr word ones = ~word{0} / 0xff;

// Whether any byte of w is c. The bytes of x are zero just where w holds
// c; (x - ones) & ~x sets the top bit of the lowest zero byte of x and of
// none below it, so the test is exact, though bytes above a zero one may
// be marked too.
constexpr bool holds(word w, unsigned char c)
{
    word x = w ^ (ones * c);
    return ((x - ones) & ~x & (ones << 7)) != 0;
}

} // namespace

// A word at a time: on text most words hold neither CR nor SUB and are
// copied whole; the rest go byte by byte. The test of a whole word is the
// same on either byte order, and the bytes are read from memory, not
// picked out of the word, so that this stays true.
std::size_t drop_plain(const unsigned char* src, std::size_t n, unsigned char* dst)
{
    unsigned char* d = dst;
    std::size_t i = 0;
    for (; i + sizeof(word) <= n; i += sizeof(word)) {
        word w;
        std::memcpy(&w, src + i, sizeof w);
        if (!holds(w, cr) && !holds(w, sub)) {
            std::memcpy(d, &w, sizeof w);
            d += sizeof w;
            continue;
        }
        for (std::size_t j = i; j < i + sizeof(word); j++) {
            unsigned char c = src[j];
            // Always store, advance only past a kept byte: no branch to
            // mispredict among the bytes of a word.
            *d = c;
            d += (c != cr) & (c != sub);
        }
    }
    for (; i < n; i++) {
        unsigned char c = src[i];
        *d = c;
        d += (c != cr) & (c != sub);
    }
    return static_cast<std::size_t>(d - dst);
}

} // namespace eolscrub2
