// SPDX-License-Identifier: ISC
// Differential fuzzing of the conversion: every kernel this processor has,
// fed in reads of sizes the fuzzer chooses, in place and not, must give
// exactly what a byte-at-a-time model of the rules gives.

#include "convert.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace eolscrub2;

namespace {

using bytes = std::vector<std::uint8_t>;

// The rules as written, one byte per step: stop at the end; drop SUB and
// CR; copy anything else and remember it; at the end add an LF unless the
// last byte written is one.
bytes model(const std::uint8_t* p, std::size_t n)
{
    bytes out;
    int last = -1; // nothing written yet
    for (std::size_t i = 0;;) {
        if (i == n)
            break;
        int c = p[i++];
        if (c == 0x1a || c == 0x0d)
            continue;
        out.push_back(static_cast<std::uint8_t>(c));
        last = c;
    }
    if (last == -1 || last != 0x0a)
        out.push_back(0x0a);
    return out;
}

// Each read goes into a buffer of exactly its size, so that AddressSanitizer
// sees any byte a kernel touches outside it.
bytes convert(kernel k, const std::uint8_t* p, std::size_t n, std::uint32_t seed, bool in_place)
{
    scrub s{k};
    bytes out;
    for (std::size_t i = 0; i < n;) {
        // Reads of 1 to 300 bytes, or the rest at once: several 64-byte
        // steps of the widest kernel, and every cut between them.
        seed = seed * 1103515245u + 12345u;
        std::size_t len = (seed >> 16) % 8 == 0 ? n - i : 1 + (seed >> 8) % 300;
        len = len < n - i ? len : n - i;
        bytes src(p + i, p + i + len);
        bytes dst(len);
        std::size_t w =
            in_place ? s.feed(src.data(), len, src.data()) : s.feed(src.data(), len, dst.data());
        const bytes& got = in_place ? src : dst;
        out.insert(out.end(), got.begin(), got.begin() + static_cast<std::ptrdiff_t>(w));
        i += len;
    }
    if (s.needs_lf())
        out.push_back(lf);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The first four bytes seed the cuts; the rest is the text.
    std::uint32_t seed = 0;
    if (size >= 4) {
        std::memcpy(&seed, data, 4);
        data += 4;
        size -= 4;
    }
    const bytes want = model(data, size);
    static const std::vector<kernel> ks = kernels();
    for (kernel k : ks) {
        for (bool in_place : {false, true}) {
            if (convert(k, data, size, seed, in_place) != want)
                std::abort();
        }
    }
    return 0;
}
