// SPDX-License-Identifier: ISC
// End-to-end: the volumes that files from Windows come on, each made and
// mounted for one test as root would mount it, and used there by root and
// by a user of the test's own, from the file's own directory and from a
// local one.

#include "run.h"

#include <cctype>
#include <map>
#include <ostream>

#include <sys/ioctl.h>
#include <sys/xattr.h>

namespace {

enum class who { root, them };
enum class from {
    beside, // the file's own directory
    local,  // a local directory of the runner's
    volume, // the volume, the file in a local directory
    other,  // another directory of the volume's, row::cwd
};

struct row {
    const char* what;
    kind k;
    const char* options; // "{ids}" stands for uid= and gid= of the test's user
    bool to_them;        // sshfs: logged in as the test's user, not root
    who writer;          // who makes the file, and prepares it
    who runner;
    from where;
    const char* prepare; // a command on the file F, as the writer; T holds the text
    int status;
    const char* says;       // the program's own lines, F for the file; "" for none
    const char* dir = "";   // the volume's directory that holds the file
    const char* cwd = "";   // for from::other
    const char* crypt = ""; // a directory to make there and encrypt, before the file
};

void PrintTo(const row& r, std::ostream* o)
{
    *o << r.what;
}

// What a volume shows of a file, beyond its bytes: the attributes the
// program must keep, the ones only asked for by name among them.
std::map<std::string, std::string> shown(const std::string& f)
{
    std::map<std::string, std::string> m;
    struct stat st = info(f);
    m["owner"] = std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid);
    m["mode"] = std::to_string(st.st_mode & 07777);
    int flags = 0;
    if (eolscrub2::fd d{open(f.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
        d.ok() && ioctl(d.get(), FS_IOC_GETFLAGS, &flags) == 0)
        m["flags"] = std::to_string(flags);
    std::string names(4096, '\0');
    ssize_t n = listxattr(f.c_str(), names.data(), names.size());
    names.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    names +=
        std::string("system.posix_acl_access\0system.ntfs_attrib_be\0system.ntfs_crtime_be\0", 68);
    for (std::size_t i = 0; i < names.size(); i = names.find('\0', i) + 1) {
        std::string key = names.c_str() + i, value(4096, '\0');
        ssize_t v = getxattr(f.c_str(), key.c_str(), value.data(), value.size());
        if (v >= 0)
            m[key] = value.substr(0, static_cast<std::size_t>(v));
    }
    return m;
}

// The program's own lines on standard error, not mv's.
std::string own_lines(const std::string& err)
{
    std::string own;
    std::istringstream lines(err);
    for (std::string l; std::getline(lines, l);) {
        if (l.rfind("eolscrub2: ", 0) == 0)
            own += l + "\n";
    }
    return own;
}

class Volumes : public Users, public ::testing::WithParamInterface<row> {};

TEST_P(Volumes, KeepsWhatTheVolumeShowsOrRefusesSayingWhy)
{
    const row& r = GetParam();
    const account u = new_user();
    std::string options = r.options;
    if (auto ids = options.find("{ids}"); ids != std::string::npos)
        options.replace(ids, 5, "uid=" + std::to_string(u.uid) + ",gid=" + std::to_string(u.gid));
    const std::string m = volume(r.k, options, r.to_them ? u.uid : 0);
    if (m.empty())
        return; // skipped, and why

    const std::string local = r.runner == who::root ? aux : u.home;
    for (const char* d : {r.dir, r.cwd, r.crypt}) {
        if (*d != '\0')
            fs::create_directories(m + "/" + d);
    }
    if (*r.crypt != '\0') {
        if (std::string why = encrypt(m + "/" + r.crypt); !why.empty())
            GTEST_SKIP() << why;
    }
    const std::string f = (r.where == from::volume ? local : *r.dir ? m + "/" + r.dir : m) + "/f";
    const std::string cwd = r.where == from::local   ? local
                            : r.where == from::other ? m + "/" + r.cwd
                                                     : m;
    put(aux + "/text", crlf);
    std::string make = "cat " + eolscrub2::quote(aux + "/text") + " > " + eolscrub2::quote(f);
    if (*r.prepare != '\0')
        make += "; F=" + eolscrub2::quote(f) + "; T=" + eolscrub2::quote(aux + "/text") +
                "; U=" + std::to_string(u.uid) + "; " + r.prepare;
    if (r.writer == who::root)
        ASSERT_EQ(std::system(("set -e; " + make).c_str()), 0) << make;
    else
        as_user(u, make);
    const auto before = shown(f);
    const std::string text = slurp(f);
    const struct stat was = info(f);

    how h{f};
    h.in(cwd);
    if (r.runner == who::them)
        h.as(u.uid);
    result run_ = run(h);
    EXPECT_TRUE(run_.exited(r.status)) << run_;
    std::string says = r.says;
    for (auto p = says.find('F'); p != std::string::npos; p = says.find('F', p + f.size()))
        says.replace(p, 1, f);
    if (auto p = says.find(" M "); p != std::string::npos)
        says.replace(p + 1, 1, cwd);
    EXPECT_EQ(own_lines(run_.err), *r.says != '\0' ? "eolscrub2: " + says + "\n" : "");
    if (r.status == 0) {
        EXPECT_TRUE(slurp(f) == reference(text));
        EXPECT_EQ(shown(f), before) << "an attribute was not kept";
        // Holes stay holes: at most a block more, where the text moved
        // across a block's edge.
        EXPECT_LE(info(f).st_blocks, was.st_blocks + 8);
    } else {
        EXPECT_TRUE(slurp(f) == text);
        EXPECT_EQ(info(f).st_ino, was.st_ino);
    }
    EXPECT_TRUE(work_files(cwd).empty()) << "a work file is left in " << cwd;
    EXPECT_TRUE(work_files(m).empty()) << "a work file is left on the volume";
}

const char* hidden = "setfattr -n system.ntfs_attrib_be -v 0x00000022 \"$F\"";
const char* owner_there =
    "F: its owner (root) cannot be kept: Operation not permitted; not replaced; run it from the "
    "file's own directory, whose volume gives every file this owner";

const row rows[] = {
    {"ntfs defaults, a user beside the file", kind::ntfs, "", false, who::root, who::them,
     from::beside, hidden, 0, ""},
    {"ntfs defaults, a user from a local directory", kind::ntfs, "", false, who::root, who::them,
     from::local, hidden, 1, owner_there},
    {"ntfs defaults, root from a local directory", kind::ntfs, "", false, who::root, who::root,
     from::local, hidden, 0, ""},
    {"ntfs with ACLs, root from a local directory", kind::ntfs, "acl", false, who::root, who::root,
     from::local, "setfacl -m u:$U:rw \"$F\" && chmod 640 \"$F\"", 0, ""},
    {"ntfs with ACLs, a user beside their file", kind::ntfs, "acl", false, who::them, who::them,
     from::beside, "setfacl -m u:65534:r \"$F\"", 0, ""},
    {"exfat defaults, a user beside the file", kind::exfat, "", false, who::root, who::them,
     from::beside, "", 0, ""},
    {"exfat defaults, root from a local directory", kind::exfat, "", false, who::root, who::root,
     from::local, "", 0, ""},
    {"exfat given to the user, the user beside their file", kind::exfat, "{ids},umask=022", false,
     who::them, who::them, from::beside, "", 0, ""},
    // Every file there shows the mount's mode, which would show the text
    // to others.
    {"exfat, root working there on a local file", kind::exfat, "umask=022", false, who::root,
     who::root, from::volume, "", 1,
     "F: the work file cannot be kept from others in the current directory M (Operation not "
     "permitted); run it from the file's own directory"},
    {"fusefat, a user beside the file", kind::fat, "", false, who::root, who::them, from::beside,
     "", 0, ""},
    {"fusefat, root from a local directory", kind::fat, "", false, who::root, who::root,
     from::local, "", 0, ""},
    {"sshfs to root, a user beside the file", kind::sshfs, "", false, who::root, who::them,
     from::beside, "", 0, ""},
    {"sshfs to root, a user from a local directory", kind::sshfs, "", false, who::root, who::them,
     from::local, "", 1, owner_there},
    {"sshfs to the user, root from a local directory", kind::sshfs, "", true, who::them, who::root,
     from::local, "", 0, ""},
    {"sshfs, root working there on a local file", kind::sshfs, "", false, who::root, who::root,
     from::volume, "", 1,
     "F: the work file can have no second name in the current directory M (a hard link is "
     "another file), without which a power cut while mv copies it could lose the text; run it "
     "from the file's own directory"},
    {"bindfs denying chmod and chown, a user beside their file", kind::bindfs,
     "chmod-deny,chown-deny", false, who::them, who::them, from::beside, "", 0, ""},
    // The kernel refuses the rename into an encrypted directory, and mv copies.
    {"ext4 with fscrypt, root from a plain directory into an encrypted one", kind::ext4, "", false,
     who::root, who::root, from::other, "", 0, "", "enc", "plain", "enc"},
    // It would rename, and the file would then have the current directory's key.
    {"ext4 with fscrypt, root from an encrypted directory into a plain one", kind::ext4, "", false,
     who::root, who::root, from::other, "", 1,
     "F: the work file would bring the encryption of the current directory M into the file's "
     "place, which the file has not; run it from the file's own directory",
     "plain", "enc", "enc"},
    {"ext4, a sparse file with no-dump and no-atime, root beside it", kind::ext4, "", false,
     who::root, who::root, from::beside,
     "truncate -s 64M \"$F\" && cat \"$T\" >> \"$F\" && chattr +d +A \"$F\"", 0, ""},
    // Taken only before the first byte: a copy mv makes would lose it.
    {"btrfs, a file with no copy-on-write, root beside it", kind::btrfs, "", false, who::root,
     who::root, from::beside,
     "rm \"$F\" && touch \"$F\" && chattr +C \"$F\" && cat \"$T\" > \"$F\"", 0, ""},
};

std::string test_name(const ::testing::TestParamInfo<row>& p)
{
    std::string n;
    for (const char* c = p.param.what; *c != '\0'; c++)
        n += std::isalnum(static_cast<unsigned char>(*c)) != 0 ? *c : '_';
    return n;
}

// Each row is a test of its own, so that one kind missing here skips no
// other.
INSTANTIATE_TEST_SUITE_P(Kinds, Volumes, ::testing::ValuesIn(rows), test_name);

} // namespace
