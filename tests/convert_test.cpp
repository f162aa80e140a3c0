// SPDX-License-Identifier: ISC
#include "convert.h"
#include "texts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>

using namespace eolscrub2;
using eolscrub2::test::reference;

namespace {

using bytes = std::basic_string<unsigned char>;

bytes b(const std::string& s)
{
    return {s.begin(), s.end()};
}

// Runs the whole conversion, fed in pieces of `piece` bytes (0: all at
// once), the way the program feeds it blocks.
bytes convert(kernel k, const bytes& in, std::size_t piece = 0)
{
    scrub s{k};
    bytes out(in.size() + 1, 0);
    std::size_t w = 0;
    std::size_t size = piece == 0 ? std::max<std::size_t>(in.size(), 1) : piece;
    for (std::size_t i = 0; i < in.size(); i += size) {
        std::size_t n = std::min(size, in.size() - i);
        w += s.feed(in.data() + i, n, out.data() + w);
    }
    if (s.needs_lf())
        out[w++] = lf;
    out.resize(w);
    return out;
}

// n letters, a to z and again.
std::string ltr(std::size_t n)
{
    std::string s;
    for (std::size_t i = 0; i < n; i++)
        s += static_cast<char>('a' + i % 26);
    return s;
}

// Bytes a bit or a borrow away from CR or SUB.
const std::string near = "\x0c\x0e\x19\x1b\x8d\x9a\x8c\x8e";

struct row {
    const char* what;
    std::string in;
    std::string out;
};

const row rows[] = {
    {"empty input gives one LF", "", "\n"},
    {"CR LF pairs become LF", "a\r\nb\r\n", "a\nb\n"},
    {"a missing final LF is added", "a\r\nb", "a\nb\n"},
    {"LF-only text is unchanged", "a\nb\n", "a\nb\n"},
    {"a lone CR joins its neighbours", "a\rb\r", "ab\n"},
    {"CR CR LF is one LF", "a\r\r\n", "a\n"},
    {"a trailing SUB after LF adds nothing", "a\r\n\x1a", "a\n"},
    {"a SUB in the middle does not end the text",
     "a\x1a"
     "b",
     "ab\n"},
    {"only CR and SUB gives one LF", "\r\x1a\r\r\x1a", "\n"},
    {"LF alone stays", "\n", "\n"},
    {"input ending in CR gets its LF", "a\r", "a\n"},
    {"LF then CR at the end keeps the LF", "a\n\r", "a\n"},
    {"NUL and 0xFF are copied", std::string("\0\xff\r\n\xff\0", 6),
     std::string("\0\xff\n\xff\0\n", 6)},
    {"other control bytes are copied", "\t\x0b\x0c\x1b\x7f\x19\x1b",
     "\t\x0b\x0c\x1b\x7f\x19\x1b\n"},
    {"bytes next to CR and SUB in value are kept", "\x0c\x0e\x19\x1b\x8d\x9a",
     "\x0c\x0e\x19\x1b\x8d\x9a\n"},
    // Long enough to be looked at a word or a step at a time; the last five
    // have two or three bytes to drop in one 32-byte step, at its edges and
    // its lanes'.
    {"a step of bytes next to CR and SUB in value is kept", near + near + near + near,
     near + near + near + near + "\n"},
    {"a CR among bytes next to it in value", "\x0e\x8d\x1b\x0c\x9a\x8d\x19\r" + ltr(24),
     "\x0e\x8d\x1b\x0c\x9a\x8d\x19" + ltr(24) + "\n"},
    {"two drops at a step's first and last byte", "\r" + ltr(30) + "\x1a" + ltr(3),
     ltr(30) + ltr(3) + "\n"},
    {"two drops side by side across the lanes", ltr(15) + "\r\r" + ltr(15),
     ltr(15) + ltr(15) + "\n"},
    {"two drops side by side at a step's end", ltr(30) + "\r\x1a" + "\n", ltr(30) + "\n"},
    {"two drops at the lanes' last bytes", ltr(15) + "\r" + ltr(15) + "\r\n",
     ltr(15) + ltr(15) + "\n"},
    {"three drops in a step", "\r" + ltr(15) + "\r\r" + ltr(14), ltr(15) + ltr(14) + "\n"},
};

TEST(Convert, Table)
{
    for (kernel k : kernels()) {
        for (const row& r : rows) {
            // Every cut a reader could make, one byte per read included.
            for (std::size_t piece : {0, 1, 2, 3}) {
                EXPECT_EQ(convert(k, b(r.in), piece), b(r.out))
                    << r.what << ", kernel " << kernel_name(k) << ", pieces of " << piece;
            }
        }
    }
}

// The vector kernels work on 16, 32 or 64 bytes at a time, ask whether
// there is anything to drop once per 64, 128 or 256 bytes, and the program
// feeds them 512 KiB blocks: a dropped byte at or beside any such edge, or
// a final LF decided by the byte before one, must come out the same.
TEST(Convert, DroppedBytesAtEveryEdge)
{
    std::mt19937 rng(7);
    for (kernel k : kernels()) {
        for (std::size_t len :
             {15, 16, 17, 31, 32, 33, 63, 64, 65, 127, 128, 129, 200, 255, 256, 257}) {
            for (std::size_t at = 0; at < len; at++) {
                for (unsigned char c : {cr, sub}) {
                    bytes in(len, 'x');
                    for (auto& x : in)
                        x = static_cast<unsigned char>('a' + rng() % 26);
                    in[at] = c;
                    if (at + 1 < len)
                        in[at + 1] = lf;
                    for (std::size_t piece : {0, 16, 64}) {
                        ASSERT_EQ(convert(k, in, piece), reference(in))
                            << kernel_name(k) << " len " << len << " at " << at << " pieces of "
                            << piece;
                    }
                }
            }
        }
    }
}

// A step of a vector kernel with one byte to drop may take another way
// than one with two: two dropped bytes at every pair of places, side by
// side, across the halves and lanes of a step, and in different steps.
TEST(Convert, TwoDroppedBytesAnywhere)
{
    std::mt19937 rng(5);
    bytes text(130, 'x');
    for (auto& x : text)
        x = static_cast<unsigned char>('a' + rng() % 26);
    for (kernel k : kernels()) {
        for (std::size_t a = 0; a < text.size(); a++) {
            for (std::size_t z = a + 1; z < text.size(); z++) {
                bytes in = text;
                in[a] = cr;
                in[z] = (a + z) % 2 ? sub : cr;
                ASSERT_EQ(convert(k, in), reference(in))
                    << kernel_name(k) << " at " << a << " and " << z;
            }
        }
    }
}

// The widest kernel first reads up to a 64-byte boundary of memory, by
// itself, so that later reads never straddle one: the text may start at
// any address, and be shorter than the way to the boundary.
TEST(Convert, AnyStartingAddress)
{
    bytes text;
    for (std::size_t i = 0; i < 300; i++)
        text.push_back(i % 7 == 3    ? cr
                       : i % 11 == 5 ? sub
                                     : static_cast<unsigned char>('a' + i % 26));
    for (kernel k : kernels()) {
        for (std::size_t len : {10, 300}) {
            const bytes in(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(len));
            const bytes want = reference(in);
            for (std::size_t at = 0; at < 64; at++) {
                // Converted in place where it lies.
                bytes buf(at + len, 0);
                unsigned char* p = buf.data() + at;
                std::copy(in.begin(), in.end(), p);
                scrub s{k};
                bytes got(p, p + s.feed(p, len, p));
                if (s.needs_lf())
                    got.push_back(lf);
                ASSERT_EQ(got, want) << kernel_name(k) << " at " << at << " len " << len;
            }
        }
    }
}

TEST(Convert, LargeMixedInput)
{
    // Several blocks' worth of every byte value, CR and SUB dense in
    // places, as a binary file or a badly mangled text would be.
    std::mt19937 rng(11);
    bytes in(300 * 1024 + 5, 0);
    for (std::size_t i = 0; i < in.size(); i++) {
        unsigned r = rng();
        in[i] = (i / 4096) % 3 == 0 ? static_cast<unsigned char>(r)
                : r % 4 == 0        ? cr
                : r % 7 == 0        ? sub
                                    : static_cast<unsigned char>('a' + r % 26);
    }
    const bytes want = reference(in);
    for (kernel k : kernels()) {
        for (std::size_t piece : {0, 1000, 128 * 1024, 4097})
            ASSERT_EQ(convert(k, in, piece), want) << kernel_name(k) << " " << piece;
    }
}

TEST(Convert, InPlace)
{
    // A clean stretch, then runs of dropped bytes, then a stretch where
    // every step drops one: each a different way through the wide kernels,
    // whose stores must never reach bytes not yet read.
    bytes text =
        b(std::string(1000, 'x') + "\r\n\x1a" + std::string(300, '\r') + std::string(500, 'y'));
    for (std::size_t i = 0; i < 3000; i++)
        text.push_back(i % 37 == 36 ? cr
                       : i % 3 == 0 ? sub
                                    : static_cast<unsigned char>('a' + i % 26));
    const bytes want = reference(text);
    for (kernel k : kernels()) {
        bytes buf = text;
        scrub s{k};
        std::size_t w = s.feed(buf.data(), buf.size(), buf.data());
        buf.resize(w);
        ASSERT_TRUE(s.needs_lf());
        buf.push_back(lf);
        EXPECT_EQ(buf, want) << kernel_name(k);
    }
}

// CI runs these tests on emulated processors of several generations and
// names the kernel each must choose: one that chose a slower kernel, or
// one it cannot run, fails here.
TEST(Convert, ChoosesTheExpectedKernel)
{
    const char* want = std::getenv("EOLSCRUB2_EXPECT_KERNEL");
    if (want != nullptr)
        EXPECT_STREQ(kernel_name(best()), want);
    else
        GTEST_SKIP() << "EOLSCRUB2_EXPECT_KERNEL is not set; this processor chose "
                     << kernel_name(best());
}

} // namespace
