// SPDX-License-Identifier: ISC
// The copy's parts on their own, through files and pipes: the look for a
// file that needs no change, and the comparison that tells a copy made by
// mv from another file; and what a lease's answer means on each kind of
// file system, which no test here can mount.

#include "copy.h"
#include "io.h"
#include "lease.h"
#include "texts.h"
#include "volume.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <tuple>

using namespace eolscrub2;
using eolscrub2::test::reference;

namespace {

// An unnamed file holding s, read from its start.
fd holding(const std::string& s)
{
    std::FILE* f = std::tmpfile();
    EXPECT_NE(f, nullptr);
    fd d{dup(fileno(f))};
    std::ignore = std::fclose(f); // only read from, through the dup
    EXPECT_EQ(write_all(d.get(), reinterpret_cast<const unsigned char*>(s.data()), s.size()), 0);
    EXPECT_EQ(lseek(d.get(), 0, SEEK_SET), 0);
    return d;
}

const std::string big(3 * 4096 + 7, 'x');

TEST(Copy, NeedsChange)
{
    const struct {
        const char* what;
        std::string text;
        bool changes;
    } cases[] = {
        {"empty: gets its LF", "", true},
        {"converted", "a\nb\n", false},
        {"no final LF after several reads", big, true},
        {"converted, several reads", big + "\n", false},
        {"a CR in the last read", big + "\r\n", true},
        {"a SUB in the first read", "\x1a" + big + "\n", true},
        {"LF then CR at the end", "a\n\r", true},
    };
    for (const auto& c : cases) {
        fd f = holding(c.text);
        bool changes = !c.changes;
        EXPECT_EQ(needs_change(f.get(), buffer{4096}, changes), 0) << c.what;
        EXPECT_EQ(changes, c.changes) << c.what;
    }
    bool changes = false;
    EXPECT_EQ(needs_change(-1, buffer{-1}, changes), EBADF);
}

TEST(Copy, SameBytes)
{
    const std::string other_end = big.substr(0, big.size() - 1) + "y";
    const struct {
        const char* what;
        std::string a, b;
        bool same;
    } cases[] = {
        {"equal, longer than the buffer", big, big, true},
        {"both empty", "", "", true},
        {"one a prefix of the other", big, big + "x", false},
        {"the last byte differs", big, other_end, false},
        {"the first byte differs", "a" + big, "b" + big, false},
    };
    for (const auto& c : cases) {
        fd a = holding(c.a);
        fd b = holding(c.b);
        bool same = !c.same;
        EXPECT_EQ(same_bytes(a.get(), b.get(), buffer{4096}, same), 0) << c.what;
        EXPECT_EQ(same, c.same) << c.what;
    }
}

TEST(Copy, ConvertsThroughAPipe)
{
    // More than a pipe holds, so that the writes wait for the reader.
    std::string text;
    while (text.size() < 300000)
        text += "line of text\r\n";
    text += "end";
    fd in = holding(text);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    fd r{p[0]};
    fd w{p[1]};
    std::string got;
    std::thread reader([&] {
        unsigned char b[1000];
        for (std::size_t n = 0; read_some(r.get(), b, sizeof b, n) == 0 && n > 0;)
            got.append(reinterpret_cast<char*>(b), n);
    });
    failure f = convert(in.get(), w.get(), false, buffer{4096});
    EXPECT_EQ(w.close(), 0);
    reader.join();
    EXPECT_EQ(f.err, 0);
    EXPECT_TRUE(got == reference(text));

    // A failed write is the writing side's, a failed read the reading side's.
    EXPECT_EQ(lseek(in.get(), 0, SEEK_SET), 0);
    f = convert(in.get(), -1, false, buffer{4096});
    EXPECT_EQ(f.err, EBADF);
    EXPECT_EQ(f.what, about::work);
    f = convert(-1, STDOUT_FILENO, false, buffer{4096});
    EXPECT_EQ(f.err, EBADF);
    EXPECT_EQ(f.what, about::file);
}

TEST(Lease, AnswerMeansWhatTheFileSystemsClientSays)
{
    const struct {
        const char* what;
        fs_type type;
        int err;
        lease_state means;
    } cases[] = {
        {"granted", magic::ext4, 0, lease_state::held},
        {"a writer on this machine", magic::ext4, EAGAIN, lease_state::writers},
        {"NFSv4 without a read delegation", magic::nfs, EAGAIN, lease_state::none},
        {"NFSv3, which gives none", magic::nfs, EINVAL, lease_state::none},
        {"SMB 2 or 3 without a read oplock", magic::smb2, EAGAIN, lease_state::none},
        {"SMB 1 without a read oplock", magic::cifs, EAGAIN, lease_state::none},
        {"another user's file", magic::ext4, EACCES, lease_state::none},
    };
    for (const auto& c : cases)
        EXPECT_EQ(lease_answer(c.type, c.err), c.means) << c.what;
}

} // namespace
