// SPDX-License-Identifier: ISC
// End-to-end: the replacement under odd callers, races, signals, failing
// commands and attributes. Races and signals are made deterministic by
// stopping the run at a system call with strace, or by stand-ins for rm
// and mv, never by timing.

#include "run.h"

#include <endian.h>
#include <sys/mount.h>
#include <sys/xattr.h>

namespace {

bool ends_with(const std::string& s, const std::string& end)
{
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

class Replace : public Run {
protected:
    // Starts a run stopped after the work file's fsync, once the text is
    // converted and before the replacement.
    pid_t held(const how& h) { return stopped_at(h, "fsync"); }

    // For the next case of a table: these stand-ins for rm and mv (nullptr:
    // the real one), and no work file from the case before.
    void afresh(const char* rm, const char* mv)
    {
        fs::remove_all(aux + "/bin");
        ASSERT_EQ(mkdir((aux + "/bin").c_str(), 0755), 0);
        if (rm != nullptr)
            stand_in("rm", rm);
        if (mv != nullptr)
            stand_in("mv", mv);
        for (const auto& w : work_files())
            fs::remove(at(w));
    }
};

TEST_F(Replace, CallersDispositionsChangeNothing)
{
    // Dispositions are inherited across exec; an ignored SIGCHLD would keep
    // system(3) from learning how the commands ended.
    for (int sig : {SIGCHLD, SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGQUIT}) {
        put(at("f"), crlf, 0640);
        result r = run(how{"f"}.ignoring(sig));
        EXPECT_TRUE(r.exited(0)) << strsignal(sig) << ": " << r;
        EXPECT_EQ(r.err, "") << strsignal(sig);
        EXPECT_EQ(slurp(at("f")), lfed) << strsignal(sig);
        EXPECT_TRUE(work_files().empty()) << strsignal(sig);
    }
}

TEST_F(Replace, OnlyTheFileThatWasReadIsReplaced)
{
    if (!have_strace())
        GTEST_SKIP() << "needs strace, to stop or fail the run at a system call";
    ASSERT_EQ(mkdir(at("elsewhere").c_str(), 0755), 0);
    const struct {
        const char* what;
        const char* path;
        void (*change)(const std::string& dir);
        const char* file; // what to look at afterwards
        std::string holds;
        const char* says = "changed during the conversion; not replaced";
    } cases[] = {
        {"an editor saved a newer version", "f",
         [](const std::string& d) {
             put(d + "/f.new", "NEW\n");
             ASSERT_EQ(rename((d + "/f.new").c_str(), (d + "/f").c_str()), 0);
         },
         "f", "NEW\n"},
        {"text appended in place", "f",
         [](const std::string& d) { std::ofstream(d + "/f", std::ios::app) << "more\r\n"; }, "f",
         crlf + "more\r\n", "opened for writing by another program; not replaced"},
        {"a directory on the path swapped for a link", "sub/f",
         [](const std::string& d) {
             ASSERT_EQ(rename((d + "/sub").c_str(), (d + "/old").c_str()), 0);
             ASSERT_EQ(symlink("elsewhere", (d + "/sub").c_str()), 0);
         },
         "elsewhere/f", "victim\r\n"},
        {"the name now a directory", "f",
         [](const std::string& d) {
             ASSERT_EQ(unlink((d + "/f").c_str()), 0);
             ASSERT_EQ(mkdir((d + "/f").c_str(), 0755), 0);
         },
         "f", ""},
        {"a link pointed elsewhere", "link",
         [](const std::string& d) {
             ASSERT_EQ(unlink((d + "/link").c_str()), 0);
             ASSERT_EQ(symlink("elsewhere/f", (d + "/link").c_str()), 0);
         },
         "f", crlf},
    };
    for (const auto& c : cases) {
        fs::remove_all(at("f"));
        fs::remove_all(at("sub"));
        fs::remove_all(at("old"));
        fs::remove(at("link"));
        ASSERT_EQ(mkdir(at("sub").c_str(), 0755), 0);
        put(at("f"), crlf);
        put(at("sub/f"), crlf);
        put(at("elsewhere/f"), "victim\r\n");
        ASSERT_EQ(symlink("f", at("link").c_str()), 0);

        // The change in a process of its own: an open for writing waits
        // until the run gives its lease up.
        pid_t pid = held(how{c.path});
        pid_t change = fork();
        if (change == 0) {
            c.change(dir);
            _exit(::testing::Test::HasFailure() ? 1 : 0);
        }
        wait_for(change, pid);
        result r = resume(pid);
        int status = 0;
        EXPECT_EQ(waitpid(change, &status, 0), change);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.what;
        EXPECT_TRUE(r.exited(1)) << c.what << ": " << r;
        EXPECT_EQ(r.err, "eolscrub2: " + std::string(c.path) + ": " + c.says + "\n") << c.what;
        if (fs::is_directory(at(c.file)))
            EXPECT_TRUE(fs::is_empty(at(c.file))) << c.what;
        else
            EXPECT_EQ(slurp(at(c.file)), c.holds) << c.what;
        EXPECT_EQ(slurp(at("elsewhere/f")), "victim\r\n") << c.what;
        EXPECT_TRUE(work_files().empty()) << c.what;
    }
}

TEST_F(Replace, SignalBeforeTheReplacementRemovesTheWorkFile)
{
    if (!have_strace())
        GTEST_SKIP() << "needs strace, to stop or fail the run at a system call";
    for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1, SIGUSR2}) {
        put(at("f"), crlf);
        ino_t ino = info(at("f")).st_ino;
        pid_t pid = held(how{"f"});
        ASSERT_EQ(kill(pid, sig), 0);
        result r = resume(pid);
        EXPECT_TRUE(r.signaled(sig)) << strsignal(sig) << ": " << r;
        EXPECT_TRUE(work_files().empty()) << strsignal(sig);
        EXPECT_EQ(slurp(at("f")), crlf) << strsignal(sig);
        EXPECT_EQ(info(at("f")).st_ino, ino) << strsignal(sig);
    }
    // One the caller ignores stays ignored.
    put(at("f"), crlf);
    pid_t pid = held(how{"f"}.ignoring(SIGTERM));
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    result r = resume(pid);
    EXPECT_TRUE(r.exited(0)) << r;
    EXPECT_EQ(slurp(at("f")), lfed);
}

TEST_F(Replace, SignalDuringTheCommandsWaitsForTheMove)
{
    const struct {
        const char* what;
        const char* rm;
        const char* mv;
        int ignored; // by the caller, or 0
        int sig;     // what ends the run, or 0 for exit 0
        bool moved;
    } cases[] = {
        {"SIGTERM while rm runs", "kill -TERM $PPID; exec /bin/rm \"$@\"", nullptr, 0, SIGTERM,
         true},
        {"SIGTERM, then mv fails", "kill -TERM $PPID; exec /bin/rm \"$@\"", "exit 1", 0, SIGTERM,
         false},
        {"SIGHUP while mv runs", nullptr, "kill -HUP $PPID; exec /bin/mv \"$@\"", 0, SIGHUP, true},
        {"Ctrl-C ends rm", "/bin/rm \"$@\"; kill -INT $$", nullptr, 0, SIGINT, true},
        {"SIGTERM the caller ignores", "kill -TERM $PPID; exec /bin/rm \"$@\"", nullptr, SIGTERM, 0,
         true},
    };
    for (const auto& c : cases) {
        afresh(c.rm, c.mv);
        put(at("f"), crlf);
        how h{"f"};
        if (c.ignored != 0)
            h.ignoring(c.ignored);
        result r = run(h);
        if (c.sig != 0)
            EXPECT_TRUE(r.signaled(c.sig)) << c.what << ": " << r;
        else
            EXPECT_TRUE(r.exited(0)) << c.what << ": " << r;
        auto w = work_files();
        if (c.moved) {
            EXPECT_EQ(slurp(at("f")), lfed) << c.what;
            EXPECT_TRUE(w.empty()) << c.what;
            EXPECT_EQ(r.err, "") << c.what;
        } else {
            EXPECT_FALSE(fs::exists(at("f"))) << c.what;
            ASSERT_EQ(w.size(), 1u) << c.what;
            EXPECT_EQ(slurp(at(w[0])), lfed) << c.what;
            EXPECT_EQ(r.err, "eolscrub2: f: not replaced; no file is there now; the converted "
                             "text is in " +
                                 w[0] + "\n")
                << c.what;
            leftovers.insert(w[0]);
        }
    }
}

TEST_F(Replace, StatusTellsWhatTheCommandsLeft)
{
    const struct {
        const char* what;
        const char* rm;
        const char* mv;
        int code;
        std::string holds; // at the path; empty: no file
        const char* says;  // the end of the message, or "" for none
    } cases[] = {
        {"mv fails", nullptr, "echo 'mv: no' >&2; exit 1", 3, "",
         "not replaced; no file is there now; the converted text is in "},
        {"both fail", "exit 1", "exit 1", 3, crlf,
         "not replaced; the original is still there; the converted text is in "},
        {"mv killed", nullptr, "kill -TERM $$", 3, "",
         "not replaced; no file is there now; the converted text is in "},
        {"the shell finds no mv", nullptr, "exit 127", 3, "",
         "not replaced; no file is there now; the converted text is in "},
        {"mv puts another file there", nullptr, "printf other > \"$4\"; exit 1", 3, "other",
         "not replaced; another file is there now; the converted text is in "},
        {"mv moves but fails", nullptr, "/bin/mv \"$@\"; exit 1", 0, lfed, ""},
        // As where the kernel refuses a rename no look foresaw: its copy
        // is judged as any copy of mv's.
        {"mv copies within the file system", nullptr, "cp -- \"$3\" \"$4\"; exit 1", 0, lfed, ""},
        {"mv copies, and another writes there", nullptr,
         "cp -- \"$3\" \"$4\"; printf x >> \"$4\"; exit 1", 3, lfed + "x",
         "not replaced; another file is there now; the converted text is in "},
    };
    for (const auto& c : cases) {
        afresh(c.rm, c.mv);
        put(at("f"), crlf);
        result r = run({"f"});
        EXPECT_TRUE(r.exited(c.code)) << c.what << ": " << r;
        EXPECT_EQ(r.out, "") << c.what;
        if (c.holds.empty())
            EXPECT_FALSE(fs::exists(at("f"))) << c.what;
        else
            EXPECT_EQ(slurp(at("f")), c.holds) << c.what;
        auto w = work_files();
        if (c.code == 0) {
            EXPECT_TRUE(w.empty()) << c.what;
            continue;
        }
        ASSERT_EQ(w.size(), 1u) << c.what;
        EXPECT_EQ(slurp(at(w[0])), lfed) << c.what;
        EXPECT_TRUE(ends_with(r.err, "eolscrub2: f: " + std::string(c.says) + w[0] + "\n"))
            << c.what << ": " << r;
        leftovers.insert(w[0]);
    }
}

TEST_F(Replace, AWorkFileTakenAwayIsNeverCalledTheResult)
{
    // rm fails, and mv takes the work file away and fails: the original is
    // still there, and nothing may claim the conversion happened.
    stand_in("rm", "exit 1");
    stand_in("mv", "/bin/rm -f -- eolscrub.tmp.*; exit 1");
    put(at("f"), crlf);
    result r = run({"f"});
    EXPECT_TRUE(r.exited(3)) << r;
    EXPECT_EQ(r.err, "eolscrub2: f: not replaced; the original is still there; the work file is "
                     "gone\n");
    EXPECT_EQ(slurp(at("f")), crlf);
    EXPECT_TRUE(work_files().empty());
}

TEST_F(Replace, AFailedWaitLetsNoCommandOutliveIt)
{
    if (!have_strace())
        GTEST_SKIP() << "needs strace, to stop or fail the run at a system call";
    // system(3) returns -1 when it cannot wait for its shell, which then
    // goes on running: an rm still at work would remove what mv put there.
    const std::string done = aux + "/rm-done";
    stand_in("rm", "sleep 0.3; /bin/rm \"$@\"; touch " + done);
    put(at("f"), crlf);
    result r = run(how{"f"}.traced({"trace=wait4", "inject=wait4:error=ECHILD:when=1"}));
    EXPECT_TRUE(r.exited(0)) << r;
    EXPECT_TRUE(fs::exists(done)) << "rm outlived the run";
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!fs::exists(done) && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(slurp(at("f")), lfed);
    EXPECT_TRUE(work_files().empty());
}

TEST_F(Replace, RefusesWhereMvsCopyWouldNotFit)
{
    // The old file stays while the run holds it: 700 KiB and its copy do
    // not fit in 1 MiB, and mv would cut its copy short after rm.
    const std::string small = tmpfs("size=1M");
    if (small.empty())
        return; // skipped
    const std::string text = std::string(700 << 10, 'x') + "\r\n";
    put(small + "/f", text);
    result r = run({small + "/f"});
    EXPECT_TRUE(r.exited(1)) << r;
    EXPECT_NE(r.err.find(": its file system has room for "), std::string::npos) << r;
    EXPECT_TRUE(slurp(small + "/f") == text);
    EXPECT_TRUE(work_files().empty());
}

TEST_F(Replace, SyncsTheFileWhereItLands)
{
    if (!have_strace())
        GTEST_SKIP() << "needs strace, to fail the syncs";
    // The work file is synced before rm; on another file system than the
    // work file, mv writes a new copy and removes the name it is given
    // before the copy is synced: the work file's directory, which holds a
    // second name for it, is synced before rm too, and the copy after.
    const std::string shm = elsewhere(01777);
    if (shm.empty())
        return; // skipped
    const struct {
        const char* what;
        std::string cwd;
        int fsyncs; // the work file, its directory and the copy if mv copies, the directory
        int before_rm;
    } cases[] = {{"same file system", "", 2, 1}, {"across file systems", shm, 4, 2}};
    for (const auto& c : cases) {
        const std::string f = c.cwd.empty() ? "f" : at("f");
        const std::string cwd = c.cwd.empty() ? dir : c.cwd;
        put(at("f"), crlf);
        result r = run(how{f}.in(c.cwd));
        EXPECT_TRUE(r.exited(0)) << c.what << ": " << r;
        EXPECT_EQ(slurp(at("f")), lfed);
        for (int n = 1; n <= c.fsyncs; n++) {
            put(at("f"), crlf);
            std::string fail = "inject=fsync:error=EIO:when=" + std::to_string(n);
            r = run(how{f}.in(c.cwd).traced({"trace=fsync", fail}));
            if (n <= c.before_rm) {
                // Before rm: the input as it was, and nothing left.
                EXPECT_TRUE(r.exited(1)) << c.what << ", fsync " << n << ": " << r;
                EXPECT_EQ(slurp(at("f")), crlf);
                EXPECT_TRUE(work_files(cwd).empty());
                continue;
            }
            // After the move: where mv copied, the work file keeps its name
            // until the syncs are done, and the message names it.
            EXPECT_TRUE(r.exited(3)) << c.what << ", fsync " << n << ": " << r;
            auto w = work_files(cwd);
            ASSERT_EQ(w.size(), c.cwd.empty() ? 0u : 1u) << c.what << ", fsync " << n;
            EXPECT_EQ(r.err, "eolscrub2: " + f +
                                 ": converted, but it may not be on disk: " + std::strerror(EIO) +
                                 (w.empty() ? "" : "; the converted text is also in " + w[0]) +
                                 "\n");
            EXPECT_EQ(slurp(at("f")), lfed);
            for (const auto& name : w) {
                EXPECT_EQ(slurp((fs::path(cwd) / name).string()), lfed);
                fs::remove(fs::path(cwd) / name);
            }
        }
    }
    for (const auto& e : fs::directory_iterator(shm))
        ADD_FAILURE() << "left behind: " << e.path();
}

// Mode 0660, whose group bits are the mask's, not the group's.
const std::string shared_acl = "u::rw- u:65534:rw- g::r-- m::rw- o::---";

std::string acl_of(const std::string& path)
{
    std::string v(256, '\0');
    ssize_t n = getxattr(path.c_str(), "system.posix_acl_access", v.data(), v.size());
    v.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    return v;
}

bool readable_by_nobody(const std::string& path)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0)
            _exit(2);
        _exit(open(path.c_str(), O_RDONLY) >= 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) < 2);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(Replace, CarriesExactlyTheInputsAcl)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to check access as another user";
    // A directory whose default ACL would give nobody everything on new files.
    ASSERT_EQ(set_acl(dir, "default", "u::rwx u:65534:rwx g::rwx m::rwx o::---"), 0)
        << std::strerror(errno);

    put(aux + "/private", crlf, 0640);
    result r = run({aux + "/private"});
    EXPECT_TRUE(r.exited(0)) << r;
    EXPECT_EQ(acl_of(aux + "/private"), "") << "the work file's inherited ACL survived";
    EXPECT_EQ(info(aux + "/private").st_mode & 07777, 0640u);
    EXPECT_FALSE(readable_by_nobody(aux + "/private"));

    put(aux + "/shared", crlf, 0600);
    ASSERT_EQ(set_acl(aux + "/shared", "access", shared_acl), 0);
    r = run({aux + "/shared"});
    EXPECT_TRUE(r.exited(0)) << r;
    EXPECT_EQ(acl_of(aux + "/shared"), acl(shared_acl));
    EXPECT_EQ(info(aux + "/shared").st_mode & 07777, 0660u);
    EXPECT_EQ(slurp(aux + "/shared"), lfed);
}

TEST_F(Replace, NeverWidensAccessWhereAclsAreMissing)
{
    if (!have_strace())
        GTEST_SKIP() << "needs strace, to fail setting the ACL";
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting a file system without ACLs needs root";
    // The work file's directory on a btrfs mounted without ACLs.
    std::string img = aux + "/noacl.img";
    std::string mnt = aux + "/noacl";
    ASSERT_EQ(mkdir(mnt.c_str(), 0777), 0);
    if (std::system(("truncate -s 120M " + img + " && mkfs.btrfs -q " + img +
                     " >/dev/null 2>&1 && mount -o loop,noacl " + img + " " + mnt)
                        .c_str()) != 0)
        GTEST_SKIP() << "cannot mount a btrfs without ACLs here (needs btrfs-progs and loop)";
    // A strace that has not yet let go may still hold it a moment.
    undos.push_back("umount " + mnt + " || umount -l " + mnt);
    ASSERT_EQ(chmod(mnt.c_str(), 01777), 0);

    const struct {
        const char* what;
        std::vector<std::string> trace;
        std::string acl;
        mode_t mode;
        const char* err;
    } cases[] = {
        {"set again where the file lands", {}, acl(shared_acl), 0660, ""},
        {"lost: the group keeps only its own bits",
         {"trace=fsetxattr", "inject=fsetxattr:error=EPERM"},
         "",
         0640,
         ": its access control list could not be kept (Operation not permitted); the owning "
         "group has only its own permissions\n"},
    };
    for (const auto& c : cases) {
        put(at("f"), crlf, 0600);
        ASSERT_EQ(set_acl(at("f"), "access", shared_acl), 0);
        result r = run(how{at("f")}.in(mnt).traced(c.trace));
        EXPECT_TRUE(r.exited(0)) << c.what << ": " << r;
        EXPECT_EQ(slurp(at("f")), lfed) << c.what;
        EXPECT_EQ(acl_of(at("f")), c.acl) << c.what;
        EXPECT_EQ(info(at("f")).st_mode & 07777, c.mode)
            << c.what << std::oct << " " << info(at("f")).st_mode;
        EXPECT_EQ(r.err, *c.err ? "eolscrub2: " + at("f") + c.err : "") << c.what;
        EXPECT_TRUE(fs::is_empty(mnt)) << c.what;
    }
}

} // namespace
