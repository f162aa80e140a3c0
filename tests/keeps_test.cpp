// SPDX-License-Identifier: ISC
// End-to-end: the converted file has exactly the original's owner, group
// and security attributes, or the run refuses before touching it; and no
// byte another program writes to the file is lost, where the kernel grants
// a lease.

#include "run.h"

#include <sys/xattr.h>

namespace {

class Keeps : public Users {
protected:
    // A new file of crlf owned by uid and gid.
    void make(const std::string& f, uid_t uid, gid_t gid, mode_t mode)
    {
        fs::remove(f);
        put(f, crlf, mode);
        ASSERT_EQ(chown(f.c_str(), uid, gid), 0);
        ASSERT_EQ(chmod(f.c_str(), mode), 0);
    }

    // Checks that a refused run left f as it was and made nothing.
    void untouched(const std::string& f, const struct stat& before, const std::string& cwd,
                   const char* what)
    {
        struct stat after = info(f);
        EXPECT_EQ(slurp(f), crlf) << what;
        EXPECT_EQ(after.st_ino, before.st_ino) << what;
        EXPECT_EQ(after.st_uid, before.st_uid) << what;
        EXPECT_EQ(after.st_gid, before.st_gid) << what;
        EXPECT_TRUE(work_files(cwd).empty()) << what;
    }
};

TEST_F(Keeps, RefusesAnOwnerOrGroupItCannotKeep)
{
    if (!have_strace())
        GTEST_SKIP() << "needs strace, to fail the change of group";
    const std::string mine = theirs("mine");
    const struct {
        const char* what;
        uid_t uid;
        gid_t gid;
        bool as_nobody;
        std::vector<std::string> trace;
        const char* says;
    } cases[] = {
        {"a group the user is not in",
         nobody,
         0,
         true,
         {},
         "its group (root) cannot be kept: Operation not permitted"},
        {"another user's file",
         0,
         nobody,
         true,
         {},
         "its owner (root) cannot be kept: Operation not permitted"},
        {"the group's quota is full",
         0,
         nobody,
         false,
         {"trace=fchown,fchown32", "inject=fchown,fchown32:error=EDQUOT"},
         "its group (nogroup) cannot be kept: Disk quota exceeded"},
    };
    for (const auto& c : cases) {
        const std::string f = mine + "/f";
        make(f, c.uid, c.gid, 0640);
        struct stat before = info(f);
        how h{f};
        h.in(mine).traced(c.trace);
        if (c.as_nobody)
            h.nobody();
        result r = run(h);
        EXPECT_TRUE(r.exited(1)) << c.what << ": " << r;
        EXPECT_EQ(r.err, "eolscrub2: " + f + ": " + c.says + "; not replaced\n") << c.what;
        untouched(f, before, mine, c.what);
    }
}

TEST_F(Keeps, OwnersAreJudgedByTheOutcome)
{
    if (!have_strace())
        GTEST_SKIP() << "needs strace, to fail the change of owner";
    // Where a file system has no owners of its own, setting one fails and
    // every file shows the mount's: the work file already has the owner and
    // group of the file, which is all that counts. (This kernel has no such
    // file system to mount; the failure is made by strace.)
    put(at("f"), crlf, 0640);
    result r =
        run(how{"f"}.traced({"trace=fchown,fchown32", "inject=fchown,fchown32:error=EPERM"}));
    EXPECT_TRUE(r.exited(0)) << r;
    EXPECT_EQ(slurp(at("f")), lfed);
    EXPECT_EQ(info(at("f")).st_mode & 07777, 0640u);
}

TEST_F(Keeps, RefusesAnOwnerTheNamespaceCannotMap)
{
    // A rootless container's map: its root is 2000, and the host's root is
    // not mapped at all, so that what it owns shows as the overflow id.
    const std::string map = "0 2000 1\n1 200001 65535\n";
    const std::string box = top + "/box";
    ASSERT_EQ(mkdir(box.c_str(), 0755), 0);
    ASSERT_EQ(chown(box.c_str(), 2000, 2000), 0);
    const struct {
        const char* what;
        uid_t uid;
        bool with_acl;
        const char* says; // "" when it is converted
    } cases[] = {
        {"the host's root's file", 0, false,
         "its owner (nobody) cannot be kept: it is not mapped in this user namespace"},
        {"an ACL naming the host's root", 2000, true,
         "its access control list cannot be kept: it names a user or group not mapped in this "
         "user namespace"},
        {"the container root's own file", 2000, false, ""},
    };
    for (const auto& c : cases) {
        const std::string f = box + "/f";
        make(f, c.uid, c.uid, 0644);
        if (c.with_acl) {
            ASSERT_EQ(set_acl(f, "access", "u::rw- u:0:rw- g::r-- m::rw- o::r--"), 0);
        }
        struct stat before = info(f);
        result r = run(how{"f"}.in(box).mapped(map));
        if (r.exited(99))
            GTEST_SKIP() << "no user namespace can be made here (in a chroot, say)";
        if (*c.says == '\0') {
            EXPECT_TRUE(r.exited(0)) << c.what << ": " << r;
            EXPECT_EQ(slurp(f), lfed) << c.what;
            EXPECT_EQ(info(f).st_uid, 2000u) << c.what;
            continue;
        }
        EXPECT_TRUE(r.exited(1)) << c.what << ": " << r;
        EXPECT_EQ(r.err, "eolscrub2: f: " + std::string(c.says) + "; not replaced\n") << c.what;
        untouched(f, before, box, c.what);
    }
}

TEST_F(Keeps, SecurityAttributesExactlyOrNotAtAll)
{
    // A file capability as setcap writes it (cap_net_raw+ep), and a label.
    const std::string cap("\x01\0\0\x02\0\x20\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 20);
    const std::string shm = elsewhere(0755);
    if (shm.empty())
        return; // skipped
    const std::string mine = theirs("mine");
    const struct {
        const char* what;
        const char* key;
        std::string value;
        bool as_nobody;
        std::string cwd;
        bool travels = true;
        int needs = CAP_SETFCAP; // to set the attribute at all
    } cases[] = {
        {"a capability, kept by root", "security.capability", cap, false, mine},
        // An HMAC over the old inode, which only the kernel may write, and
        // which /etc/xattr.conf keeps from travelling.
        {"an EVM signature, left behind", "security.evm", "\x02hmac", false, mine, false,
         CAP_SYS_ADMIN},
        {"a capability, kept by root across file systems", "security.capability", cap, false, shm},
        {"a label, kept by root", "security.SMACK64", "eolscrub2", false, mine, true,
         CAP_SYS_ADMIN},
        {"a capability its owner cannot set", "security.capability", cap, true, mine},
        {"a label its owner cannot set", "security.SMACK64", "eolscrub2", true, mine, true,
         CAP_SYS_ADMIN},
    };
    for (const auto& c : cases) {
        if (lacks(c.needs, c.what))
            continue;
        const std::string f = mine + "/f";
        make(f, nobody, nobody, 0755);
        ASSERT_EQ(setxattr(f.c_str(), c.key, c.value.data(), c.value.size(), 0), 0)
            << c.what << ": " << std::strerror(errno);
        struct stat before = info(f);
        how h{f};
        h.in(c.cwd);
        if (c.as_nobody)
            h.nobody();
        result r = run(h);
        if (c.as_nobody) {
            EXPECT_TRUE(r.exited(1)) << c.what << ": " << r;
            EXPECT_EQ(r.err, "eolscrub2: " + f + ": its attribute " + c.key +
                                 " cannot be kept: Operation not permitted; not replaced\n")
                << c.what;
            untouched(f, before, c.cwd, c.what);
            continue;
        }
        EXPECT_TRUE(r.exited(0)) << c.what << ": " << r;
        EXPECT_EQ(slurp(f), lfed) << c.what;
        std::string got(64, '\0');
        ssize_t n = getxattr(f.c_str(), c.key, got.data(), got.size());
        got.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
        EXPECT_EQ(got, c.travels ? c.value : "") << c.what;
        EXPECT_EQ(info(f).st_uid, nobody) << c.what;
    }
    for (const auto& e : fs::directory_iterator(shm))
        ADD_FAILURE() << "left behind: " << e.path();
}

TEST_F(Keeps, AnotherProgramsWritesAreNeverLost)
{
    if (!have_strace())
        GTEST_SKIP() << "needs strace, to refuse the lease";
    const std::string refusal = "open for writing by another program; not replaced";
    const struct {
        const char* what;
        bool mapped;
    } holders[] = {{"held open for appending", false}, {"mapped writable", true}};
    for (const auto& c : holders) {
        put(at("app.log"), crlf);
        struct stat before = info(at("app.log"));
        pid_t w = holder(at("app.log"), c.mapped);
        result r = run({"app.log"});
        end(w);
        EXPECT_TRUE(r.exited(1)) << c.what << ": " << r;
        EXPECT_EQ(r.err, "eolscrub2: app.log: " + refusal + "\n") << c.what;
        untouched(at("app.log"), before, dir, c.what);
    }
    // Where the kernel grants no lease, the run goes on as before.
    put(at("app.log"), crlf);
    pid_t w = holder(at("app.log"), false);
    result r = run(
        how{"app.log"}.traced({"trace=fcntl,fcntl64", "inject=fcntl,fcntl64:error=EINVAL:when=1"}));
    end(w);
    EXPECT_TRUE(r.exited(0)) << r;
    EXPECT_EQ(slurp(at("app.log")), lfed);
}

TEST_F(Keeps, AWriterDuringTheRunBreaksTheLease)
{
    if (!have_strace())
        GTEST_SKIP() << "needs strace, to stop the run";
    const struct {
        const char* what;
        const char* call; // where the run is stopped for the writer to open the file
        int nth;
        int code;
        const char* says;
        int blocked = 0; // a signal the caller blocks
    } cases[] = {
        {"before the last check", "fsync", 1, 1,
         "opened for writing by another program; not replaced"},
        // Blocked, the kernel's sign of the break never comes.
        {"before the last check, with SIGIO blocked", "fsync", 1, 1,
         "opened for writing by another program; not replaced", SIGIO},
        {"after the last check, before rm", "clone3", 1, 3,
         "converted, but another program opened the old file for writing meanwhile"},
    };
    for (const auto& c : cases) {
        put(at("app.log"), crlf);
        ino_t ino = info(at("app.log")).st_ino;
        how h{"app.log"};
        if (c.blocked != 0)
            h.blocking(c.blocked);
        pid_t pid = stopped_at(h, c.call, c.nth);
        // The writer's open waits until the run gives the lease up.
        pid_t late = fork();
        if (late == 0) {
            int d = open(at("app.log").c_str(), O_WRONLY | O_APPEND);
            _exit(d >= 0 && write(d, "late\n", 5) == 5 ? 0 : 1);
        }
        // Its open has reached the lease when the run is told of it.
        wait_for(late, pid);
        result r = resume(pid);
        int status = 0;
        waitpid(late, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.what;
        EXPECT_TRUE(r.exited(c.code)) << c.what << ": " << r;
        EXPECT_EQ(r.err, "eolscrub2: app.log: " + std::string(c.says) + "\n") << c.what;
        if (c.code == 1) {
            // Refused, the file keeps every byte, the writer's among them.
            EXPECT_EQ(slurp(at("app.log")), crlf + "late\n") << c.what;
            EXPECT_EQ(info(at("app.log")).st_ino, ino) << c.what;
        } else {
            // Said: the writer had the old file, which is gone.
            EXPECT_EQ(slurp(at("app.log")), lfed) << c.what;
        }
        EXPECT_TRUE(work_files().empty()) << c.what;
    }
}

TEST_F(Keeps, RefusesAFileItCannotReplace)
{
    // In a sticky directory such as /tmp, only the owner may remove a file.
    const std::string mine = theirs("mine");
    ASSERT_EQ(chmod(mine.c_str(), 0555), 0);
    // What no permission bit shows, but makes rm or mv fail.
    const std::string locked = theirs("locked");
    const struct {
        const char* what;
        std::string f;
        uid_t owner;
        mode_t mode;
        bool refused;
        const char* says = "Permission denied";
        std::string change = {}; // made with the file, and undone at the end
        std::string undo = {};
        int needs = CAP_CHOWN; // to make the change
    } cases[] = {
        {"another user's, in a sticky directory", at("u.txt"), 0, 0666, true},
        {"in a directory the user may not write", mine + "/f", nobody, 0644, true},
        {"the user's own, in a sticky directory", at("mine.txt"), nobody, 0644, false},
        {"immutable", at("i.txt"), nobody, 0644, true, "it is immutable",
         "chattr +i " + at("i.txt"), "chattr -i " + at("i.txt"), CAP_LINUX_IMMUTABLE},
        {"in an append-only directory", locked + "/f", nobody, 0644, true,
         "its directory is append-only", "chattr +a " + locked, "chattr -a " + locked,
         CAP_LINUX_IMMUTABLE},
        {"a file bind-mounted there", at("bound.txt"), nobody, 0644, true, "it is a mount point",
         "cp -p " + at("bound.txt") + " " + aux + "/bound && mount --bind " + aux + "/bound " +
             at("bound.txt"),
         "umount " + at("bound.txt"), CAP_SYS_ADMIN},
    };
    for (const auto& c : cases) {
        if (lacks(c.needs, c.what))
            continue;
        make(c.f, c.owner, c.owner, c.mode);
        if (!c.change.empty())
            change(c.change, c.undo);
        struct stat before = info(c.f);
        result r = run(how{c.f}.nobody());
        if (!c.refused) {
            EXPECT_TRUE(r.exited(0)) << c.what << ": " << r;
            EXPECT_EQ(slurp(c.f), lfed) << c.what;
            continue;
        }
        EXPECT_TRUE(r.exited(1)) << c.what << ": " << r;
        EXPECT_EQ(r.err, "eolscrub2: " + c.f + ": cannot be replaced: " + c.says + "\n") << c.what;
        untouched(c.f, before, dir, c.what);
    }
}

} // namespace
