// End-to-end: the built program, run in a scratch directory of its own,
// judged by the files it leaves, its output streams and its exit status.

#include "convert.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr uid_t nobody = 65534;

void put(const std::string& path, const std::string& data, mode_t mode = 0644)
{
    std::ofstream(path, std::ios::binary) << data;
    ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

std::string slurp(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

struct stat info(const std::string& path)
{
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path << ": " << std::strerror(errno);
    return st;
}

struct result {
    int status = -1;
    std::string out, err;
    bool exited(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
    bool signaled(int sig) const { return WIFSIGNALED(status) && WTERMSIG(status) == sig; }
};

std::ostream& operator<<(std::ostream& o, const result& r)
{
    return o << "status " << r.status << ", stdout \"" << r.out << "\", stderr \"" << r.err << "\"";
}

// How to run the program: its arguments, and what to change around it.
struct how {
    std::vector<std::string> args;
    std::string input;      // standard input; /dev/null when empty
    bool as_nobody = false; // as an unprivileged user, when run by root
    bool tty = false;       // a terminal on standard input
    rlim_t fsize = RLIM_INFINITY;

    how(std::initializer_list<std::string> a = {}) : args(a) {}
    explicit how(std::vector<std::string> a) : args(std::move(a)) {}
    how& nobody()
    {
        as_nobody = true;
        return *this;
    }
    how& terminal()
    {
        tty = true;
        return *this;
    }
    how& feed(std::string s)
    {
        input = std::move(s);
        return *this;
    }
    how& limit(rlim_t bytes)
    {
        fsize = bytes;
        return *this;
    }
};

// Gives each test its own scratch directory, the program's working
// directory, and checks afterwards that no work file was left in it.
class Run : public ::testing::Test {
protected:
    std::string top, dir, aux;
    std::set<std::string> leftovers; // work files a test expects to remain

    void SetUp() override
    {
        std::string t = (fs::temp_directory_path() / "eolscrub2-test.XXXXXX").string();
        ASSERT_NE(mkdtemp(t.data()), nullptr);
        top = t;
        dir = top + "/w";
        aux = top + "/aux";
        // Open to the unprivileged user that some tests run the program as.
        ASSERT_EQ(chmod(top.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(dir.c_str(), 0777), 0);
        ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
        ASSERT_EQ(mkdir(aux.c_str(), 0755), 0);
        ASSERT_EQ(mkdir((aux + "/bin").c_str(), 0755), 0);
        // The checkout may lie where the unprivileged user cannot reach:
        // each test runs its own copy of the program.
        fs::copy_file(EOLSCRUB2, aux + "/eolscrub2");
        ASSERT_EQ(chmod((aux + "/eolscrub2").c_str(), 0755), 0);
    }

    void TearDown() override
    {
        for (const auto& d : {dir, dir + "/sub"}) {
            if (!fs::exists(d))
                continue;
            for (const auto& n : work_files(d))
                EXPECT_TRUE(leftovers.count(n)) << "work file left behind: " << d << "/" << n;
        }
        for (const auto& e : fs::recursive_directory_iterator(top)) {
            if (e.is_directory() && !e.is_symlink())
                chmod(e.path().c_str(), 0755);
        }
        fs::remove_all(top);
    }

    std::string at(const std::string& name) const { return dir + "/" + name; }

    // The work files in d, by default the program's working directory.
    std::vector<std::string> work_files(const std::string& d = {}) const
    {
        std::vector<std::string> w;
        for (const auto& e : fs::directory_iterator(d.empty() ? dir : d)) {
            std::string n = e.path().filename().string();
            if (n.rfind("eolscrub.tmp.", 0) == 0)
                w.push_back(n);
        }
        return w;
    }

    // A stand-in for a utility, found before the real one on the search path.
    void stand_in(const std::string& name, const std::string& script)
    {
        put(aux + "/bin/" + name, "#!/bin/sh\n" + script + "\n", 0755);
    }

    pid_t start(const how& h)
    {
        put(aux + "/in", h.input);
        pid_t pid = fork();
        if (pid != 0)
            return pid;
        // The child: anything failing here shows as exit status 99.
        if (chdir(dir.c_str()) != 0)
            _exit(99);
        int in = -1;
        if (h.tty) {
            int m = posix_openpt(O_RDWR | O_NOCTTY);
            if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0)
                _exit(99);
            in = open(ptsname(m), O_RDWR | O_NOCTTY);
        } else {
            in = open(h.input.empty() ? "/dev/null" : (aux + "/in").c_str(), O_RDONLY);
        }
        int out = open((aux + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open((aux + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
            _exit(99);
        // A test runner started in the background may have these ignored.
        for (int sig : {SIGHUP, SIGINT, SIGTERM, SIGPIPE, SIGXFSZ})
            std::ignore = signal(sig, SIG_DFL);
        if (h.fsize != RLIM_INFINITY) {
            // Ignored, SIGXFSZ turns into EFBIG from write(2).
            std::ignore = signal(SIGXFSZ, SIG_IGN);
            struct rlimit rl {
                h.fsize, h.fsize
            };
            if (setrlimit(RLIMIT_FSIZE, &rl) != 0)
                _exit(99);
        }
        if (h.as_nobody && geteuid() == 0) {
            if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0)
                _exit(99);
        }
        std::string path = aux + "/bin:" + std::getenv("PATH");
        setenv("PATH", path.c_str(), 1);
        setenv("TEST_PID", std::to_string(getpid()).c_str(), 1);

        // EOLSCRUB2_WRAP runs the program under a checker, e.g. valgrind.
        std::vector<std::string> argv;
        if (const char* wrap = std::getenv("EOLSCRUB2_WRAP")) {
            std::istringstream words(wrap);
            for (std::string w; words >> w;)
                argv.push_back(w);
        }
        argv.push_back(aux + "/eolscrub2");
        argv.insert(argv.end(), h.args.begin(), h.args.end());
        std::vector<char*> cargv;
        cargv.reserve(argv.size() + 1);
        for (auto& a : argv)
            cargv.push_back(a.data());
        cargv.push_back(nullptr);
        execvp(cargv[0], cargv.data());
        _exit(98);
    }

    result finish(pid_t pid)
    {
        result r;
        // Generous, for runs under valgrind; a program that waits on a FIFO
        // must fail the test, not hang it.
        auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (waitpid(pid, &r.status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > limit) {
                kill(pid, SIGKILL);
                waitpid(pid, &r.status, 0);
                ADD_FAILURE() << "the program did not finish";
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        r.out = slurp(aux + "/out");
        r.err = slurp(aux + "/err");
        return r;
    }

    result run(const how& h) { return finish(start(h)); }
};

const std::string crlf = "one\r\ntwo\r\n\x1a";
const std::string lfed = "one\ntwo\n";

TEST_F(Run, ConvertsKeepingPermissionBits)
{
    const struct {
        mode_t mode;
        std::vector<std::string> extra; // further arguments, which change nothing
    } cases[] = {
        {0644, {}}, {0755, {}}, {0600, {}}, {0640, {"f", "--help"}}, {0700, {"-"}},
    };
    for (const auto& c : cases) {
        put(at("f"), crlf, c.mode);
        put(at("g"), crlf);
        std::vector<std::string> args{"f"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        result r = run(how(args));
        EXPECT_TRUE(r.exited(0)) << r;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(slurp(at("f")), lfed);
        EXPECT_EQ(info(at("f")).st_mode & 07777, c.mode) << std::oct << c.mode;
        EXPECT_EQ(slurp(at("g")), crlf) << "a further argument was acted on";
        EXPECT_TRUE(work_files().empty());
    }
}

TEST_F(Run, LeavesAnUnchangedFileAlone)
{
    // Already converted, large enough to be read in several blocks.
    const std::string text = std::string(2 * block + 3, 'x') + "\n";
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
    const std::string lines = std::string(3 * block, 'x');
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
        {"a CR after the first block", lines.substr(0, block + 5) + "\r\n" + lines + "\n",
         lines.substr(0, block + 5) + "\n" + lines + "\n"},
        {"no final LF after many blocks", lines, lines + "\n"},
        {"CR ending a block", lines.substr(0, block - 1) + "\r\n" + lines,
         lines.substr(0, block - 1) + "\n" + lines + "\n"},
        {"more than the write buffer holds", many + "\r", many_lf},
        {"CR starting a block", lines.substr(0, block) + "\r" + lines + "\r",
         lines.substr(0, block) + lines + "\n"},
    };
    for (const auto& c : cases) {
        put(at("f"), c.in);
        result r = run({"f"});
        EXPECT_TRUE(r.exited(0)) << c.what << ": " << r;
        EXPECT_TRUE(slurp(at("f")) == c.out) << c.what;
    }
}

TEST_F(Run, CannotOpen)
{
    put(at("f"), crlf);
    put(at("secret"), crlf, 0000);
    ASSERT_EQ(symlink("nowhere", at("dangling").c_str()), 0);
    const struct {
        const char* what;
        std::string path;
    } cases[] = {
        {"missing", "nope"},
        {"empty name", ""},
        {"dangling link", "dangling"},
        {"unreadable", "secret"},
        {"a file used as a directory", "f/x"},
    };
    for (const auto& c : cases) {
        result r = run(how{c.path}.nobody());
        EXPECT_TRUE(r.exited(1)) << c.what << ": " << r;
        EXPECT_EQ(r.out, "file not found\n") << c.what;
        EXPECT_EQ(r.err, "") << c.what;
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
    put(at("sub/real"), crlf, 0751);
    ASSERT_EQ(symlink("sub/real", at("link").c_str()), 0);
    ASSERT_EQ(symlink("real", at("sub/near").c_str()), 0);
    for (const char* path : {"link", "sub/near"}) {
        put(at("sub/real"), crlf, 0751);
        result r = run({path});
        EXPECT_TRUE(r.exited(0)) << path << ": " << r;
        EXPECT_TRUE(S_ISLNK(info(at(path)).st_mode)) << path << " is no longer a link";
        EXPECT_EQ(slurp(at("sub/real")), lfed);
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
    put(at("theirs"), crlf, 0640);
    ASSERT_EQ(chown(at("theirs").c_str(), nobody, nobody), 0);
    const char value[] = "kept";
    if (setxattr(at("theirs").c_str(), "user.eolscrub2", value, 4, 0) != 0)
        GTEST_SKIP() << "no extended attributes here: " << std::strerror(errno);
    result r = run({"theirs"});
    EXPECT_TRUE(r.exited(0)) << r;
    struct stat st = info(at("theirs"));
    EXPECT_EQ(st.st_uid, nobody);
    EXPECT_EQ(st.st_gid, nobody);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    char got[16] = {};
    EXPECT_EQ(getxattr(at("theirs").c_str(), "user.eolscrub2", got, sizeof got), 4);
    EXPECT_STREQ(got, "kept");

    // A user who cannot keep the owner must not keep a set-user-ID bit.
    put(at("setuid"), crlf, 04755);
    r = run(how{"setuid"}.nobody());
    EXPECT_TRUE(r.exited(0)) << r;
    st = info(at("setuid"));
    EXPECT_EQ(st.st_uid, nobody);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
}

TEST_F(Run, FailedWriteLeavesTheInput)
{
    const std::string big = std::string(std::size_t{64} * 1024, 'x') + "\r\n";
    put(at("f"), big);
    ino_t ino = info(at("f")).st_ino;
    result r = run(how{"f"}.limit(4096));
    EXPECT_TRUE(r.exited(1)) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "eolscrub2: f: " + std::string(std::strerror(EFBIG)) + "\n");
    EXPECT_TRUE(slurp(at("f")) == big);
    EXPECT_EQ(info(at("f")).st_ino, ino);
}

TEST_F(Run, NoWorkFileInAReadOnlyDirectory)
{
    put(aux + "/f", crlf);
    ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
    result r = run(how{aux + "/f"}.nobody());
    EXPECT_TRUE(r.exited(1)) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "eolscrub2: " + fs::canonical(dir).string() + ": " + std::strerror(EACCES) + "\n");
    EXPECT_EQ(slurp(aux + "/f"), crlf);
}

TEST_F(Run, FailedMoveKeepsTheConvertedText)
{
    const struct {
        const char* mv;
        int code;
    } cases[] = {
        {"echo 'mv: no' >&2; exit 3", 3},
        {"kill -TERM $$", 128 + SIGTERM},
        {"exit 1", 1},
    };
    for (const auto& c : cases) {
        for (const auto& w : work_files())
            fs::remove(at(w));
        stand_in("mv", c.mv);
        put(at("f"), crlf);
        result r = run({"f"});
        EXPECT_TRUE(r.exited(c.code)) << c.mv << ": " << r;
        auto w = work_files();
        ASSERT_EQ(w.size(), 1u) << c.mv;
        EXPECT_EQ(slurp(at(w[0])), lfed);
        const std::string ours =
            "eolscrub2: f: not replaced; the converted text is in " + w[0] + "\n";
        EXPECT_TRUE(r.err.size() >= ours.size() &&
                    r.err.compare(r.err.size() - ours.size(), ours.size(), ours) == 0)
            << r;
        leftovers.insert(w[0]);
    }
}

TEST_F(Run, SignalBeforeTheReplacementRemovesTheWorkFile)
{
    // Large enough that the run is still writing when the signal comes.
    const std::string big = std::string(std::size_t{96} << 20, 'x') + "\r\n";
    put(at("f"), big);
    stand_in("rm", "echo rm ran >&2; exit 1");
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        pid_t pid = start({"f"});
        auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (work_files().empty() && std::chrono::steady_clock::now() < limit)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        kill(pid, sig);
        result r = finish(pid);
        EXPECT_TRUE(r.signaled(sig)) << sig << ": " << r;
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(work_files().empty());
        EXPECT_EQ(info(at("f")).st_size, static_cast<off_t>(big.size()));
    }
}

TEST_F(Run, SignalAfterTheRemoveStartedKeepsTheWorkFile)
{
    put(at("f"), crlf);
    stand_in("rm", "kill -TERM \"$TEST_PID\"");
    result r = run({"f"});
    EXPECT_TRUE(r.signaled(SIGTERM)) << r;
    auto w = work_files();
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(slurp(at(w[0])), lfed);
    leftovers.insert(w[0]);
}

TEST_F(Run, FiltersStandardInput)
{
    result r = run(how{}.feed("a\r\nb\x1a"));
    EXPECT_TRUE(r.exited(0)) << r;
    EXPECT_EQ(r.out, "a\nb\n");
    EXPECT_EQ(r.err, "");

    r = run(how{}.terminal());
    EXPECT_TRUE(r.exited(2)) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "usage: eolscrub2 FILE\n");
}

} // namespace
