// SPDX-License-Identifier: ISC
// End-to-end: another user tries to steer the replacement. Each of their
// steps is run as the unprivileged user while the run is stopped at a
// system call.

#include "run.h"

#include <sys/xattr.h>

namespace {

class Others : public Users {};

TEST_F(Others, RenamingTheCurrentDirectoryCannotRedirectTheMove)
{
    if (!have_strace())
        GTEST_SKIP() << "needs strace, to stop the run";
    const struct {
        const char* what;
        bool plant; // their own file under the work file's name in the new directory
    } cases[] = {{"their file in a new directory of the old name", true}, {"only renamed", false}};
    for (const auto& c : cases) {
        // The caller's directory is root's, but lies in one of theirs.
        std::string parent = theirs(c.plant ? "planted" : "renamed");
        std::string cwd = parent + "/cwd";
        ASSERT_EQ(mkdir(cwd.c_str(), 0755), 0);
        put(at("target"), crlf, 0640);

        pid_t pid = stopped_at(how{at("target")}.in(cwd), "fsync");
        auto w = work_files(cwd);
        ASSERT_EQ(w.size(), 1u);
        std::string swap = "cd " + parent + " && mv cwd old && mkdir cwd";
        if (c.plant)
            swap += " && printf evil > cwd/" + w[0];
        as_nobody(swap);
        result r = resume(pid);

        EXPECT_TRUE(r.exited(0)) << c.what << ": " << r;
        EXPECT_EQ(slurp(at("target")), lfed) << c.what;
        struct stat st = info(at("target"));
        EXPECT_EQ(st.st_uid, 0u) << c.what;
        EXPECT_EQ(st.st_mode & 07777, 0640u) << c.what;
        EXPECT_TRUE(work_files(parent + "/old").empty()) << c.what;
        if (c.plant) {
            EXPECT_EQ(slurp(parent + "/cwd/" + w[0]), "evil") << c.what;
        }
    }
}

TEST_F(Others, RefusesACurrentDirectoryOthersMayChange)
{
    const struct {
        const char* what;
        mode_t mode;
        uid_t owner;
        gid_t group;
        bool with_acl;
        bool holds_file; // the file lies in it
        bool refused;
        uid_t file_owner = 0;
        // % is the directory
        const char* says = "others may change the current directory %; run it from one only you "
                           "can write";
        const char* attr = nullptr; // chattr's
    } cases[] = {
        {"writable by all", 0777, 0, 0, false, false, true},
        {"writable by its group, which another user has", 0775, 0, nobody, false, false, true},
        {"writable by its group, which is its owner's alone", 0775, 0, 0, false, false, false},
        {"another user's", 0755, nobody, nobody, false, false, true},
        {"sticky, but another user's", 01777, nobody, nobody, false, false, true},
        {"writable by another user through its ACL", 0755, 0, 0, true, false, true},
        {"the caller's own", 0755, 0, 0, false, false, false},
        {"sticky and root's, as /tmp", 01777, 0, 0, false, false, false},
        {"the file's own, writable by its group", 0775, 0, nobody, false, true, false},
        // There the file's owner may rename the work file, owned as the
        // file is, and so steer what mv moves and what the line names.
        {"sticky and root's, the file another user's", 01777, 0, 0, false, false, true, nobody,
         "its owner could rename the work file in the sticky current directory %; run it from "
         "one only you can write"},
        {"sticky, holding another user's file", 01777, 0, 0, false, true, true, nobody,
         "its owner could rename the work file in the sticky current directory %; run it from "
         "one only you can write"},
        // A work file could be made there, and never moved or removed.
        {"append-only", 0755, 0, 0, false, false, true, 0,
         "the current directory % is append-only; run it from another directory", "a"},
    };
    int n = 0;
    for (const auto& c : cases) {
        if (c.attr != nullptr && lacks(CAP_LINUX_IMMUTABLE, c.what))
            continue;
        std::string cwd = top + "/cwd" + std::to_string(n++);
        ASSERT_EQ(mkdir(cwd.c_str(), 0700), 0);
        ASSERT_EQ(chown(cwd.c_str(), c.owner, c.group), 0);
        ASSERT_EQ(chmod(cwd.c_str(), c.mode), 0);
        if (c.attr != nullptr)
            change(std::string("chattr +") + c.attr + " " + cwd,
                   std::string("chattr -") + c.attr + " " + cwd);
        if (c.with_acl) {
            // The mode's group bits become the mask.
            ASSERT_EQ(set_acl(cwd, "access", "u::rwx u:65534:rwx g::r-x m::rwx o::r-x"), 0)
                << std::strerror(errno);
        }
        const std::string f = c.holds_file ? cwd + "/f" : at("f");
        put(f, crlf);
        ASSERT_EQ(chown(f.c_str(), c.file_owner, c.file_owner), 0);
        ino_t ino = info(f).st_ino;
        result r = run(how{f}.in(cwd));
        if (c.refused) {
            EXPECT_TRUE(r.exited(1)) << c.what << ": " << r;
            std::string says = "eolscrub2: " + f + ": ";
            says += c.says;
            says.replace(says.find('%'), 1, cwd);
            EXPECT_EQ(r.err, says + "\n") << c.what;
            EXPECT_EQ(slurp(f), crlf) << c.what;
            EXPECT_EQ(info(f).st_ino, ino) << c.what;
            EXPECT_TRUE(work_files(cwd).empty()) << c.what;
            // A file that cannot be opened, or needs no change, is told as ever.
            r = run(how{at("nope")}.in(cwd));
            EXPECT_TRUE(r.exited(1) && r.out == "file not found\n" && r.err.empty()) << r;
            put(f, lfed);
            r = run(how{f}.in(cwd));
            EXPECT_TRUE(r.exited(0) && r.err.empty()) << c.what << ": " << r;
        } else {
            EXPECT_TRUE(r.exited(0)) << c.what << ": " << r;
            EXPECT_EQ(slurp(f), lfed) << c.what;
            EXPECT_TRUE(work_files(cwd).empty()) << c.what;
        }
    }
}

TEST_F(Others, AllowsADirectoryOfItsOwnersPrivateGroup)
{
    // A user's own directory under umask 002, with a group of their own:
    // no one else may write it, unless some source of groups says the
    // group has others. And root's, of a group no one is in.
    const account u = new_user();
    const account v = new_user();
    ASSERT_EQ(chmod(u.home.c_str(), 0775), 0);
    const std::string team = "eolscrub2-" + std::to_string(getpid()) + "-team";
    const std::string shared = top + "/team";
    change("groupadd " + team, "groupdel " + team);
    ASSERT_EQ(mkdir(shared.c_str(), 0775), 0);
    ASSERT_EQ(chown(shared.c_str(), 0, getgrnam(team.c_str())->gr_gid), 0);
    ASSERT_EQ(chmod(shared.c_str(), 0775), 0);
    const std::string gid = std::to_string(u.gid);
    const struct {
        const char* what;
        std::string change, undo;
        bool refused;
        bool root = false; // root's run in the team's directory
    } cases[] = {
        {"a private group", "", "", false},
        {"another user among its members", "usermod -aG " + u.name + " " + v.name,
         "gpasswd -d " + v.name + " " + u.name, true},
        {"a second entry of its id, listing another user",
         "groupadd -o -g " + gid + " " + u.name + "-2 && usermod -aG " + u.name + "-2 " + v.name,
         "groupdel -f " + u.name + "-2", true},
        {"root's, of a group no one is in", "", "", false, true},
        {"root's, the group's member listed only in /etc/gshadow",
         "sed -i 's/^\\(" + team + ":[^:]*:[^:]*:\\).*/\\1" + v.name + "/' /etc/gshadow",
         "sed -i 's/^\\(" + team + ":[^:]*:[^:]*:\\).*/\\1/' /etc/gshadow", true, true},
        {"root's, the group with a password", "groupmod -p '$6$salt$hash' " + team,
         "gpasswd -r " + team, true, true},
    };
    for (const auto& c : cases) {
        if (!c.change.empty()) {
            ASSERT_EQ(std::system(c.change.c_str()), 0) << c.change;
        }
        const std::string cwd = c.root ? shared : u.home;
        put(at("f"), crlf);
        ASSERT_EQ(chown(at("f").c_str(), c.root ? 0 : u.uid, c.root ? 0 : u.gid), 0);
        result r = run(how{at("f")}.in(cwd).with_umask(002).as(c.root ? no_user : u.uid));
        if (!c.undo.empty()) {
            EXPECT_EQ(std::system(c.undo.c_str()), 0) << c.undo;
        }
        EXPECT_TRUE(r.exited(c.refused ? 1 : 0)) << c.what << ": " << r;
        EXPECT_EQ(r.err, c.refused ? "eolscrub2: " + at("f") +
                                         ": others may change the current directory " + cwd +
                                         "; run it from one only you can write\n"
                                   : "")
            << c.what;
        EXPECT_EQ(slurp(at("f")), c.refused ? crlf : lfed) << c.what;
        EXPECT_TRUE(work_files(cwd).empty()) << c.what;
    }
}

TEST_F(Others, CommandsAreFoundFromTheCallersDirectory)
{
    // Beside the file, programs that would run if a search path were read
    // in its directory.
    const std::string pwned = "touch " + top + "/pwned; exit 1";
    ASSERT_EQ(mkdir(at("unpacked").c_str(), 0755), 0);
    ASSERT_EQ(fs::create_directories(at("unpacked/node_modules/.bin")), true);
    for (const char* d : {"unpacked", "unpacked/node_modules/.bin"}) {
        put(at(std::string(d) + "/rm"), "#!/bin/sh\n" + pwned + "\n", 0755);
        put(at(std::string(d) + "/mv"), "#!/bin/sh\n" + pwned + "\n", 0755);
    }
    // In the caller's directory, an rm that the caller's own search path
    // finds there, as it would for any command the caller ran.
    const std::string cwd = top + "/caller";
    ASSERT_EQ(fs::create_directories(cwd + "/node_modules/.bin"), true);
    put(cwd + "/node_modules/.bin/rm",
        "#!/bin/sh\ntouch " + top + "/callers\nexec /bin/rm \"$@\"\n", 0755);
    // And a library that mv would load (it links libattr) if its search
    // path were read there.
    const std::string lib = "#include <fcntl.h>\n__attribute__((constructor)) static void f(void) "
                            "{ creat(\"" +
                            top + "/pwned\", 0644); }\n";
    if (std::system(("printf '%s' " + eolscrub2::quote(lib) + " | cc -shared -fPIC -o " +
                     at("unpacked/libattr.so.1") + " -x c -")
                        .c_str()) != 0)
        GTEST_SKIP() << "no C compiler to build a library with";
    const struct {
        const char* var;
        const char* value;
        bool callers;        // the caller's own rm is found
        bool beside = false; // run beside the file, in a directory of another user's
    } cases[] = {
        {"PATH", ":/usr/bin:/bin", false},
        {"PATH", "/usr/bin:/bin:", false},
        {"PATH", ".:/usr/bin:/bin", false},
        {"PATH", "node_modules/.bin:/usr/bin:/bin", true},
        // What export LD_LIBRARY_PATH=/opt/lib:$LD_LIBRARY_PATH leaves.
        {"LD_LIBRARY_PATH", "/opt/lib:", false},
        // Where its owner may put programs, a relative entry is refused.
        {"PATH", ".:/usr/bin:/bin", false, true},
    };
    for (const auto& c : cases) {
        put(at("unpacked/build.sh"), crlf, 0755);
        fs::remove(top + "/callers");
        how h{at("unpacked/build.sh")};
        h.in(c.beside ? at("unpacked") : cwd);
        ASSERT_EQ(chown(at("unpacked").c_str(), c.beside ? nobody : 0, 0), 0);
        if (std::string(c.var) == "PATH")
            h.path(c.value);
        else
            h.env(c.var, c.value);
        result r = run(h);
        EXPECT_TRUE(r.exited(c.beside ? 1 : 0)) << c.var << "=" << c.value << ": " << r;
        EXPECT_EQ(r.err, c.beside ? "eolscrub2: " + at("unpacked/build.sh") +
                                        ": PATH has the relative entry ., and others may write "
                                        "the current directory " +
                                        at("unpacked") +
                                        ", where rm and mv would be looked for; remove it from "
                                        "PATH\n"
                                  : "")
            << c.value;
        EXPECT_EQ(slurp(at("unpacked/build.sh")), c.beside ? crlf : lfed) << c.value;
        EXPECT_FALSE(fs::exists(top + "/pwned")) << c.value << " ran a program beside the file";
        EXPECT_EQ(fs::exists(top + "/callers"), c.callers) << c.value;
    }
}

TEST_F(Others, NoOneTheFileShutsOutOpensTheWorkFile)
{
    if (!have_strace())
        GTEST_SKIP() << "needs strace, to stop the run";
    // Root's files, in a directory closed to others, and in one whose
    // default ACL would let the unprivileged user read new files.
    const std::string closed = top + "/closed";
    const std::string granting = top + "/granting";
    ASSERT_EQ(mkdir(closed.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(granting.c_str(), 0755), 0);
    ASSERT_EQ(set_acl(granting, "default", "u::rwx u:65534:r-- g::r-x m::r-x o::r-x"), 0);
    const struct {
        const char* what;
        std::string f, cwd;
        const char* call; // where the run is held for them to try
        int code;         // 3: rm and mv fail
    } cases[] = {
        // Held where the owner is given, right after the work file is made.
        {"beside it, its directory's default ACL naming them", granting + "/f", granting,
         "fchown,fchown32", 0},
        {"elsewhere, the file in a directory closed to them", closed + "/f", dir, "fsync", 0},
        {"left there by a failed mv", closed + "/f", dir, "fsync", 3},
    };
    for (const auto& c : cases) {
        put(c.f, crlf, 0644);
        for (const char* u : {"rm", "mv"}) {
            fs::remove(aux + "/bin/" + u);
            if (c.code == 3)
                stand_in(u, "exit 1");
        }
        pid_t pid = stopped_at(how{c.f}.in(c.cwd), c.call);
        auto w = work_files(c.cwd);
        ASSERT_EQ(w.size(), 1u) << c.what;
        const std::string work = c.cwd + "/" + w[0];
        as_nobody("! cat " + work + " 2>/dev/null");
        result r = resume(pid);
        EXPECT_TRUE(r.exited(c.code)) << c.what << ": " << r;
        EXPECT_EQ(slurp(c.f), c.code == 0 ? lfed : crlf) << c.what;
        if (c.code == 0)
            continue;
        EXPECT_EQ(r.err, "eolscrub2: " + c.f +
                             ": not replaced; the original is still there; the work file is yours "
                             "alone: give it owner 0:0 and mode 0644 as you put it in place; "
                             "the converted text is in " +
                             w[0] + "\n")
            << c.what;
        as_nobody("! cat " + work + " 2>/dev/null");
        fs::remove(work);
    }
}

TEST_F(Others, OnlyTheWorkFileAtTheNameCountsAsDone)
{
    if (!have_strace())
        GTEST_SKIP() << "needs strace, to stop the run";
    // The file lies in a sticky directory that both may write, the current
    // one. Between rm and mv, the other user takes the name.
    const std::string elsewhere = theirs("elsewhere");
    const struct {
        const char* what;
        std::string take;
        int code;
    } cases[] = {
        {"a directory", "mkdir " + at("f"), 3},
        {"a link to their directory", "ln -s " + elsewhere + " " + at("f"), 0},
    };
    for (const auto& c : cases) {
        fs::remove_all(at("f"));
        put(at("f"), crlf);
        // The second process started is mv's shell.
        pid_t pid = stopped_at(how{"f"}, "clone3", 2);
        ASSERT_FALSE(fs::exists(at("f"))) << c.what << ": rm has not run";
        as_nobody(c.take);
        result r = resume(pid);
        EXPECT_TRUE(r.exited(c.code)) << c.what << ": " << r;
        EXPECT_TRUE(fs::is_empty(elsewhere)) << c.what << ": the text went into their directory";
        auto w = work_files();
        if (c.code == 0) {
            EXPECT_EQ(slurp(at("f")), lfed) << c.what;
            EXPECT_TRUE(S_ISREG(info(at("f")).st_mode)) << c.what;
            EXPECT_TRUE(w.empty()) << c.what;
            continue;
        }
        ASSERT_EQ(w.size(), 1u) << c.what;
        EXPECT_EQ(slurp(at(w[0])), lfed) << c.what;
        EXPECT_TRUE(fs::is_directory(at("f")) && fs::is_empty(at("f"))) << c.what;
        EXPECT_EQ(r.err.substr(r.err.rfind("eolscrub2:")),
                  "eolscrub2: f: not replaced; another file is there now; the converted text is "
                  "in " +
                      w[0] + "\n")
            << c.what;
        fs::remove(at(w[0]));
    }
}

TEST_F(Others, OnlyMvsOwnCopyIsGivenTheFilesAttributes)
{
    if (!have_strace())
        GTEST_SKIP() << "needs strace, to stop the run";
    // Root's set-user-ID program with a capability, in a directory that a
    // group shares; the work file lies on another file system, so that mv
    // copies it. Once mv is done, something else is at the name.
    const gid_t team = 4242;
    const std::string shared = top + "/shared";
    ASSERT_EQ(mkdir(shared.c_str(), 0755), 0);
    ASSERT_EQ(chown(shared.c_str(), 0, team), 0);
    ASSERT_EQ(chmod(shared.c_str(), 02775), 0);
    const std::string shm = elsewhere(0755);
    if (shm.empty())
        return; // skipped
    const std::string cap("\x01\0\0\x02\0\x20\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 20);
    const std::string tool = shared + "/tool";
    const struct {
        const char* what;
        bool theirs; // their own file, mapped writable, renamed there; else mv's copy held open
        const char* held;
    } cases[] = {
        {"a member's own file with the converted bytes", true, "another file is there now"},
        {"mv's copy, open for writing", false,
         "another program has the file there now open for writing"},
    };
    for (const auto& c : cases) {
        put(tool, crlf, 04755);
        ASSERT_EQ(chown(tool.c_str(), 0, team), 0);
        ASSERT_EQ(chmod(tool.c_str(), 04755), 0);
        ASSERT_EQ(setxattr(tool.c_str(), "security.capability", cap.data(), cap.size(), 0), 0);
        put(tool + ".new", lfed, 0644);
        ASSERT_EQ(chown((tool + ".new").c_str(), nobody, nobody), 0);

        pid_t pid = stopped_at(how{tool}.in(shm), "wait4", 2);
        children_ended(pid);
        pid_t h = c.theirs ? holder(tool + ".new", true, team) : holder(tool, false);
        if (c.theirs)
            as_nobody("cd " + shared + " && mv -f tool.new tool", team);
        result r = resume(pid);
        end(h);

        EXPECT_TRUE(r.exited(3)) << c.what << ": " << r;
        auto w = work_files(shm);
        ASSERT_EQ(w.size(), 1u) << c.what;
        EXPECT_EQ(slurp(shm + "/" + w[0]), lfed) << c.what;
        EXPECT_EQ(r.err, "eolscrub2: " + tool + ": not replaced; " + c.held +
                             "; the work file is yours alone: give it owner 0:4242 and mode "
                             "4755 as you put it in place; the converted text is in " +
                             w[0] + "\n")
            << c.what;
        fs::remove(shm + "/" + w[0]);
        if (c.theirs) {
            struct stat st = info(tool);
            EXPECT_EQ(st.st_uid, nobody) << c.what;
            EXPECT_EQ(st.st_mode & 07000, 0u) << c.what;
            EXPECT_LT(getxattr(tool.c_str(), "security.capability", nullptr, 0), 0) << c.what;
        }
    }
}

} // namespace
