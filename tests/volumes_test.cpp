// SPDX-License-Identifier: ISC
// End-to-end: the volumes that files from Windows come on, each made and
// mounted for one test, as root made them, and a user of the test's own
// who uses them.

#include "run.h"

#include <cctype>
#include <ostream>

namespace {

enum class who { root, them };

struct row {
    const char* what;
    kind k;
    const char* options; // "{ids}" stands for uid= and gid= of the test's user
    bool to_them;        // sshfs: logged in as the test's user, not root
    who writer;
    who owner; // what the volume shows as the written file's owner
};

void PrintTo(const row& r, std::ostream* o)
{
    *o << r.what;
}

class Volumes : public Users, public ::testing::WithParamInterface<row> {};

TEST_P(Volumes, AFileWrittenThereReadsBack)
{
    const row& r = GetParam();
    const account u = new_user();
    std::string options = r.options;
    if (auto ids = options.find("{ids}"); ids != std::string::npos)
        options.replace(ids, 5, "uid=" + std::to_string(u.uid) + ",gid=" + std::to_string(u.gid));
    const std::string m = volume(r.k, options, r.to_them ? u.uid : 0);
    if (m.empty())
        return; // skipped, and why

    const std::string f = m + "/f";
    put(aux + "/text", crlf);
    if (r.writer == who::root) {
        std::ofstream(f, std::ios::binary) << crlf;
    } else {
        as_user(u, "cat " + eolscrub2::quote(aux + "/text") + " > " + eolscrub2::quote(f));
        as_user(u, "cmp " + eolscrub2::quote(f) + " " + eolscrub2::quote(aux + "/text"));
    }
    EXPECT_EQ(slurp(f), crlf);
    EXPECT_EQ(info(f).st_uid, r.owner == who::root ? 0 : u.uid);
}

// Each row is a test of its own, so that one kind missing here skips no
// other.
const row rows[] = {
    {"ntfs defaults, a user writes", kind::ntfs, "", false, who::them, who::root},
    {"ntfs with ACLs, a user writes", kind::ntfs, "acl", false, who::them, who::them},
    {"ntfs given to the user, root writes", kind::ntfs, "{ids}", false, who::root, who::them},
    {"exfat defaults, a user writes", kind::exfat, "", false, who::them, who::root},
    {"exfat given to the user, root writes", kind::exfat, "{ids},umask=022", false, who::root,
     who::them},
    {"fusefat, a user writes", kind::fat, "", false, who::them, who::root},
    {"the kernel's vfat, root writes", kind::vfat, "", false, who::root, who::root},
    {"sshfs to root, a user writes", kind::sshfs, "", false, who::them, who::root},
    {"sshfs to the user, root writes", kind::sshfs, "", true, who::root, who::them},
    {"bindfs denying chmod and chown, a user writes", kind::bindfs, "chmod-deny,chown-deny", false,
     who::them, who::them},
};

std::string test_name(const ::testing::TestParamInfo<row>& p)
{
    std::string n;
    for (const char* c = p.param.what; *c != '\0'; c++)
        n += std::isalnum(static_cast<unsigned char>(*c)) != 0 ? *c : '_';
    return n;
}

INSTANTIATE_TEST_SUITE_P(Kinds, Volumes, ::testing::ValuesIn(rows), test_name);

class Accounts : public Users {};

// how::as() runs the program as the user made, with their groups.
TEST_F(Accounts, TheProgramRunsAsTheUserMade)
{
    const account u = new_user();
    const struct {
        const char* what;
        bool theirs; // the file and its directory are the user's
        int status;
    } cases[] = {
        {"their own file, with a private group and umask 002", true, 0},
        {"root's file, in root's directory", false, 1},
    };
    for (const auto& c : cases) {
        const std::string f = (c.theirs ? u.home : aux) + "/f";
        put(f, crlf, 0664);
        if (c.theirs) {
            ASSERT_EQ(chown(f.c_str(), u.uid, u.gid), 0);
        }
        result r = run(how{f}.as(u.uid).with_umask(002));
        EXPECT_TRUE(r.exited(c.status)) << c.what << ": " << r;
        EXPECT_EQ(slurp(f), c.status == 0 ? lfed : crlf) << c.what;
        struct stat st = info(f);
        EXPECT_EQ(st.st_uid, c.theirs ? u.uid : 0) << c.what;
        EXPECT_EQ(st.st_gid, c.theirs ? u.gid : 0) << c.what;
        EXPECT_EQ(st.st_mode & 07777, 0664u) << c.what;
    }
}

} // namespace
