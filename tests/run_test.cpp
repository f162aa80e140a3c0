// SPDX-License-Identifier: ISC
// End-to-end: what a user sees of a run, file by file.

#include "convert.h"
#include "run.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/xattr.h>

using eolscrub2::block_size;

namespace {

TEST_F(Run, ConvertsKeepingPermissionBits)
{
    const struct {
        mode_t mode;
        std::vector<std::string> extra; // further arguments: ignored, and said so
        const char* err;
    } cases[] = {
        {0644, {}, ""},
        {0755, {}, ""},
        {0600, {}, ""},
        {0640,
         {"g", "--help"},
         "eolscrub2: 2 further arguments ignored; convert one file per run\n"},
        {0700, {"g"}, "eolscrub2: 1 further argument ignored; convert one file per run\n"},
    };
    for (const auto& c : cases) {
        put(at("f"), crlf, c.mode);
        put(at("g"), crlf);
        std::vector<std::string> args{"f"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        result r = run(how(args));
        EXPECT_TRUE(r.exited(0)) << r;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(slurp(at("f")), lfed);
        EXPECT_EQ(info(at("f")).st_mode & 07777, c.mode) << std::oct << c.mode;
        EXPECT_EQ(slurp(at("g")), crlf) << "a further argument was acted on";
        EXPECT_TRUE(work_files().empty());
    }
}

TEST_F(Run, LeavesAnUnchangedFileAlone)
{
    // Already converted, large enough to be read in several blocks.
    const std::string text = std::string(2 * block_size + 3, 'x') + "\n";
    put(at("f"), text);
    struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, at("f").c_str(), old, 0), 0);
    struct stat before = info(at("f"));
    stand_in("rm", "echo rm ran >&2; exit 1");
    stand_in("mv", "echo mv ran >&2; exit 1");
    result r = run({"f"});
    EXPECT_TRUE(r.exited(0)) << r;
    EXPECT_EQ(r.err, "");
    struct stat after = info(at("f"));
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_ctim.tv_sec, before.st_ctim.tv_sec);
    EXPECT_EQ(after.st_ctim.tv_nsec, before.st_ctim.tv_nsec);
    EXPECT_EQ(slurp(at("f")), text);
}

TEST_F(Run, ConvertsFilesOfManyBlocks)
{
    const std::string lines = std::string(3 * block_size, 'x');
    // Lines of uneven length, so that the work file's large aligned writes
    // end mid-line and carry the rest over.
    std::string many, many_lf;
    for (std::size_t i = 0; many.size() < (std::size_t{9} << 20); i++) {
        std::string line(i % 97, static_cast<char>('a' + i % 26));
        many += line + "\r\n";
        many_lf += line + "\n";
    }
    const struct {
        const char* what;
        std::string in, out;
    } cases[] = {
        {"a CR after the first block", lines.substr(0, block_size + 5) + "\r\n" + lines + "\n",
         lines.substr(0, block_size + 5) + "\n" + lines + "\n"},
        {"no final LF after many blocks", lines, lines + "\n"},
        {"CR ending a block", lines.substr(0, block_size - 1) + "\r\n" + lines,
         lines.substr(0, block_size - 1) + "\n" + lines + "\n"},
        {"more than the write buffer holds", many + "\r", many_lf},
        {"CR starting a block", lines.substr(0, block_size) + "\r" + lines + "\r",
         lines.substr(0, block_size) + lines + "\n"},
    };
    for (const auto& c : cases) {
        put(at("f"), c.in);
        result r = run({"f"});
        EXPECT_TRUE(r.exited(0)) << c.what << ": " << r;
        EXPECT_TRUE(slurp(at("f")) == c.out) << c.what;
    }
}

TEST_F(Run, ShowsALongRunOnlyOnATerminal)
{
    if (!have_strace())
        GTEST_SKIP() << "needs strace, to hold the run past a second";
    // A run held for over a second once it has looked the file over: one
    // line, redrawn and then erased, on a terminal; nothing anywhere else.
    const std::string text = std::string(3 * block_size, 'x') + "\r\n";
    for (bool terminal : {true, false}) {
        put(at("f"), text);
        how h{"f"};
        if (terminal)
            h.terminal_errors();
        pid_t pid = stopped_at(h, "lseek,_llseek");
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        result r = resume(pid);
        EXPECT_TRUE(r.exited(0)) << r;
        EXPECT_TRUE(slurp(at("f")) == std::string(3 * block_size, 'x') + "\n");
        if (!terminal) {
            EXPECT_EQ(r.err, "");
            continue;
        }
        EXPECT_NE(r.err.find("\reolscrub2: converting, 0 B of 1.5 MiB, "), std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find("\reolscrub2: replacing, 1.5 MiB of 1.5 MiB, "), std::string::npos)
            << r.err;
        EXPECT_TRUE(r.err.ends_with("\033[K\r\033[K")) << r.err;
    }
}

TEST_F(Run, CannotOpen)
{
    put(at("f"), crlf);
    put(at("secret"), crlf, 0000);
    ASSERT_EQ(symlink("nowhere", at("dangling").c_str()), 0);
    // A name like an option is a name too, and one more line says so.
    const std::string no_options = "eolscrub2: takes no options; usage: eolscrub2 FILE\n";
    const struct {
        const char* what;
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        // Where the name is there, or cannot be one, the line says why.
        {"missing", {"nope"}, ""},
        {"in a directory that is not there", {"none/f"}, ""},
        {"empty name", {""}, "eolscrub2: : a file has no empty name\n"},
        {"dangling link",
         {"dangling"},
         "eolscrub2: dangling: a link to nowhere, where no file is\n"},
        {"unreadable", {"secret"}, "eolscrub2: secret: Permission denied\n"},
        {"a file used as a directory", {"f/x"}, "eolscrub2: f/x: Not a directory\n"},
        {"an option", {"--help"}, no_options},
        {"the end of options, then the file",
         {"--", "f"},
         "eolscrub2: 1 further argument ignored; convert one file per run\n" + no_options},
    };
    for (const auto& c : cases) {
        result r = run(how(c.args).nobody());
        EXPECT_TRUE(r.exited(1)) << c.what << ": " << r;
        EXPECT_EQ(r.out, "file not found\n") << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
    }
    EXPECT_EQ(slurp(at("f")), crlf);
    EXPECT_EQ(chmod(at("secret").c_str(), 0644), 0);
    EXPECT_EQ(slurp(at("secret")), crlf);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 3);
}

TEST_F(Run, RefusesWhatIsNotARegularFile)
{
    ASSERT_EQ(mkdir(at("sub").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(at("fifo").c_str(), 0644), 0);
    // The socket's name stays on disk once the descriptor is closed.
    struct sockaddr_un sa {};
    sa.sun_family = AF_UNIX;
    std::string sock = at("sock");
    ASSERT_LT(sock.size(), sizeof sa.sun_path);
    std::strcpy(sa.sun_path, sock.c_str());
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    int bound = bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    close(s);
    ASSERT_EQ(bound, 0) << std::strerror(errno);
    ASSERT_EQ(symlink("sub", at("dirlink").c_str()), 0);
    for (std::string path : {"sub", "fifo", "sock", "/dev/null", "dirlink"}) {
        result r = run({path});
        EXPECT_TRUE(r.exited(1)) << path << ": " << r;
        EXPECT_EQ(r.out, "") << path;
        EXPECT_EQ(r.err, "eolscrub2: " + path + ": not a regular file\n");
    }
    EXPECT_TRUE(fs::is_empty(at("sub")));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 4);
}

TEST_F(Run, NamesAreOneWordForTheShell)
{
    // Each name, split or expanded by a shell, would reach the decoys or
    // run a command.
    const std::string names[] = {
        "a b",
        "-rf decoy",
        "decoy;touch pwned",
        "$(touch pwned)",
        "`touch pwned`",
        "it's 'quoted'",
        "*",
        "new\nline",
        "\xe9t\xe9 \xff",
        "--",
        "-",
        "x\\'\"$HOME&|<>",
        std::string(200, 'n'),
    };
    for (const std::string& n : names) {
        for (const char* d : {"a", "b", "decoy", "rf"})
            put(at(d), "decoy\r\n");
        put(at(n), crlf);
        result r = run({n});
        EXPECT_TRUE(r.exited(0)) << n << ": " << r;
        EXPECT_EQ(slurp(at(n)), lfed) << n;
        for (const char* d : {"a", "b", "decoy", "rf"})
            EXPECT_EQ(slurp(at(d)), "decoy\r\n") << n << " reached " << d;
        EXPECT_FALSE(fs::exists(at("pwned"))) << n << " ran a command";
        fs::remove(at(n));
    }
}

TEST_F(Run, ConvertsWhatALinkLeadsTo)
{
    ASSERT_EQ(mkdir(at("sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink("sub/real", at("link").c_str()), 0);
    ASSERT_EQ(symlink("real", at("sub/near").c_str()), 0);
    ASSERT_EQ(symlink("sub", at("dirlink").c_str()), 0);
    // Another user's link is followed only to their own file: else a root
    // run would rewrite whatever they aimed it at.
    const gid_t same = static_cast<gid_t>(-1); // to chown: the group as it is
    const struct {
        const char* path;
        const char* link;
        bool their_link, their_file; // nobody's, else the caller's
        const char* says;            // "" where it converts
    } cases[] = {
        {"link", "link", false, false, ""},
        {"sub/near", "sub/near", false, false, ""},
        {"link", "link", true, true, ""},
        {"link", "link", true, false, "a link of user nobody to a file of root; not followed"},
        {"dirlink/real", "dirlink", true, false,
         "a link of user nobody to a directory of root; not followed"},
    };
    for (const auto& c : cases) {
        if (c.their_link && geteuid() != 0)
            GTEST_SKIP() << "only root can make a link of another user";
        put(at("sub/real"), crlf, 0751);
        ASSERT_EQ(lchown(at(c.link).c_str(), c.their_link ? nobody : geteuid(), same), 0);
        ASSERT_EQ(chown(at("sub/real").c_str(), c.their_file ? nobody : geteuid(), same), 0);
        // Not from the sticky directory, where the file's owner could
        // rename the work file.
        result r = run(how{at(c.path)}.in(aux));
        EXPECT_TRUE(r.exited(*c.says ? 1 : 0)) << c.path << ": " << r;
        EXPECT_EQ(r.err, *c.says ? "eolscrub2: " + at(c.link) + ": " + c.says + "\n" : "")
            << c.path;
        EXPECT_TRUE(S_ISLNK(info(at(c.link)).st_mode)) << c.path << " is no longer a link";
        EXPECT_EQ(slurp(at("sub/real")), *c.says ? crlf : lfed) << c.path;
        EXPECT_EQ(info(at("sub/real")).st_mode & 07777, 0751u);
    }
    EXPECT_EQ(fs::read_symlink(at("link")), "sub/real");
}

TEST_F(Run, LeavesOtherFilesNamedLikeWorkFilesAlone)
{
    put(at("eolscrub.tmp"), "unrelated\r\n");
    put(at("eolscrub.tmp.AAAAAA"), "unrelated\r\n");
    put(at("f"), crlf);
    result r = run({"f"});
    EXPECT_TRUE(r.exited(0)) << r;
    EXPECT_EQ(slurp(at("f")), lfed);
    EXPECT_EQ(slurp(at("eolscrub.tmp")), "unrelated\r\n");
    EXPECT_EQ(slurp(at("eolscrub.tmp.AAAAAA")), "unrelated\r\n");

    // A file with a work file's name is an ordinary input.
    r = run({"eolscrub.tmp.AAAAAA"});
    EXPECT_TRUE(r.exited(0)) << r;
    EXPECT_EQ(slurp(at("eolscrub.tmp.AAAAAA")), "unrelated\n");
    EXPECT_EQ(work_files(), std::vector<std::string>{"eolscrub.tmp.AAAAAA"});
    leftovers.insert("eolscrub.tmp.AAAAAA");
}

TEST_F(Run, KeepsOwnerGroupAndAttributes)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can make a file owned by someone else";
    // From root's own directory: in a sticky one the owner could rename
    // the work file.
    put(at("theirs"), crlf, 0640);
    ASSERT_EQ(chown(at("theirs").c_str(), nobody, nobody), 0);
    const char value[] = "kept";
    if (setxattr(at("theirs").c_str(), "user.eolscrub2", value, 4, 0) != 0)
        GTEST_SKIP() << "no extended attributes here: " << std::strerror(errno);
    result r = run(how{at("theirs")}.in(aux));
    EXPECT_TRUE(r.exited(0)) << r;
    struct stat st = info(at("theirs"));
    EXPECT_EQ(st.st_uid, nobody);
    EXPECT_EQ(st.st_gid, nobody);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    char got[16] = {};
    EXPECT_EQ(getxattr(at("theirs").c_str(), "user.eolscrub2", got, sizeof got), 4);
    EXPECT_STREQ(got, "kept");

    // A set-user-ID bit survives: the owner is kept, and the mode is set
    // after the writes, which would clear it.
    put(at("setuid"), crlf, 04755);
    ASSERT_EQ(chown(at("setuid").c_str(), nobody, nobody), 0);
    ASSERT_EQ(chmod(at("setuid").c_str(), 04755), 0);
    r = run(how{at("setuid")}.in(aux));
    EXPECT_TRUE(r.exited(0)) << r;
    st = info(at("setuid"));
    EXPECT_EQ(st.st_uid, nobody);
    EXPECT_EQ(st.st_mode & 07777, 04755u);

    // An attribute the work file cannot take, on a file system of its own,
    // is given to the copy mv makes where the file lies, and nothing is
    // said: the warning is about the file that ends up under the name.
    if (!have_strace())
        GTEST_SKIP() << "needs strace, to refuse the work file the attribute";
    const std::string shm = elsewhere(0755);
    if (shm.empty())
        return; // skipped
    put(at("theirs"), crlf, 0640);
    ASSERT_EQ(setxattr(at("theirs").c_str(), "user.eolscrub2", value, 4, 0), 0);
    r = run(how{at("theirs")}.in(shm).traced(
        {"trace=fsetxattr", "inject=fsetxattr:error=EOPNOTSUPP:when=1"}));
    EXPECT_TRUE(r.exited(0)) << r;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(getxattr(at("theirs").c_str(), "user.eolscrub2", got, sizeof got), 4);
    EXPECT_TRUE(fs::is_empty(shm));
}

TEST_F(Run, FailedWriteLeavesTheInput)
{
    const std::string big = std::string(std::size_t{64} * 1024, 'x') + "\r\n";
    const struct {
        const char* what;
        std::vector<std::string> trace;
        bool left; // the work file could not be removed either
    } cases[] = {
        {"the write fails", {}, false},
        {"and so does the removal", {"trace=unlinkat", "inject=unlinkat:error=EIO"}, true},
    };
    for (const auto& c : cases) {
        if (!c.trace.empty() && !have_strace())
            GTEST_SKIP() << "needs strace, to fail the removal";
        put(at("f"), big);
        ino_t ino = info(at("f")).st_ino;
        result r = run(how{"f"}.limit(4096).traced(c.trace));
        EXPECT_TRUE(r.exited(1)) << c.what << ": " << r;
        EXPECT_EQ(r.out, "");
        // The work file's directory filled, not the input's.
        std::string says = "eolscrub2: f: the work file in " + fs::canonical(dir).string() + ": " +
                           std::strerror(EFBIG) + "\n";
        auto w = work_files();
        EXPECT_EQ(w.size(), c.left ? 1u : 0u) << c.what;
        if (!w.empty()) {
            says += "eolscrub2: " + w[0] +
                    ": the work file could not be removed: " + std::strerror(EIO) + "\n";
            fs::remove(at(w[0]));
        }
        EXPECT_EQ(r.err, says) << c.what;
        EXPECT_TRUE(slurp(at("f")) == big) << c.what;
        EXPECT_EQ(info(at("f")).st_ino, ino) << c.what;
    }
}

TEST_F(Run, NoWorkFileInAReadOnlyDirectory)
{
    // The file is the user's, in a directory of theirs; the current one
    // they may not write.
    const std::string mine = top + "/mine";
    ASSERT_EQ(mkdir(mine.c_str(), 0755), 0);
    put(mine + "/f", crlf);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(mine.c_str(), nobody, nobody), 0);
        ASSERT_EQ(chown((mine + "/f").c_str(), nobody, nobody), 0);
    }
    ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
    result r = run(how{mine + "/f"}.nobody());
    EXPECT_TRUE(r.exited(1)) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "eolscrub2: " + mine + "/f: the work file in " + fs::canonical(dir).string() +
                         ": " + std::strerror(EACCES) + "\n");
    EXPECT_EQ(slurp(mine + "/f"), crlf);
}

TEST_F(Run, FiltersStandardInput)
{
    result r = run(how{}.feed("a\r\nb\x1a"));
    EXPECT_TRUE(r.exited(0)) << r;
    EXPECT_EQ(r.out, "a\nb\n");
    EXPECT_EQ(r.err, "");

    // A minimal root (a chroot, a build container) may have no /dev/pts.
    int pt = posix_openpt(O_RDWR | O_NOCTTY);
    if (pt < 0 || grantpt(pt) != 0 || unlockpt(pt) != 0 || access(ptsname(pt), R_OK) != 0)
        GTEST_SKIP() << "no pseudo-terminal can be opened here (" << std::strerror(errno)
                     << "), so the usage on a terminal goes untried";
    close(pt);
    r = run(how{}.terminal());
    EXPECT_TRUE(r.exited(2)) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "usage: eolscrub2 FILE\n"
                     "       eolscrub2 < in > out\n");
}

} // namespace
