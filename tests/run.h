// SPDX-License-Identifier: ISC
// The end-to-end tests' fixture: the built program, run in a scratch
// directory of its own, judged by the files it leaves, its output streams
// and its exit status.
#pragma once

#include "quote.h"
#include "texts.h"

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
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace eolscrub2::test;

inline constexpr uid_t nobody = 65534;

inline void put(const std::string& path, const std::string& data, mode_t mode = 0644)
{
    std::ofstream(path, std::ios::binary) << data;
    ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

inline struct stat info(const std::string& path)
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

inline std::ostream& operator<<(std::ostream& o, const result& r)
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
    std::vector<int> ignored;        // signals the caller ignores
    std::vector<std::string> strace; // strace options to hold or fail the run
    std::string cwd;                 // the program's directory, when not the fixture's
    const char* search = nullptr;    // PATH, when not the stand-ins' and the caller's
    std::string id_map;              // run as root of a new user namespace with this map

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
    how& ignoring(int sig)
    {
        ignored.push_back(sig);
        return *this;
    }
    // Runs the program under strace with these options, e.g.
    // "inject=fsync:delay_enter=2000000" to hold it at its first fsync.
    how& traced(std::vector<std::string> options)
    {
        strace = std::move(options);
        return *this;
    }
    how& in(std::string d)
    {
        cwd = std::move(d);
        return *this;
    }
    how& path(const char* p)
    {
        search = p;
        return *this;
    }
    // "inside outside count" lines, for users and groups alike.
    how& mapped(std::string map)
    {
        id_map = std::move(map);
        return *this;
    }
};

// Under qemu-user (EOLSCRUB2_EMULATOR names the emulator) strace would see
// the emulator's system calls, not the program's: no strace there.
inline bool have_strace()
{
    if (const char* emulator = std::getenv("EOLSCRUB2_EMULATOR")) {
        std::cerr << "under " << emulator << ", strace would trace the emulator, not the program\n";
        return false;
    }
    return std::system("strace -V >/dev/null 2>&1") == 0;
}

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
        // Open to the unprivileged user that some tests run the program as,
        // and sticky, as /tmp is: no user may rename another's files there.
        ASSERT_EQ(chmod(top.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(dir.c_str(), 0777), 0);
        ASSERT_EQ(chmod(dir.c_str(), 01777), 0);
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
        // With a namespace, the maps are written from outside once the
        // child is in it (in), and then it may go on (go).
        int in[2] = {-1, -1};
        int go[2] = {-1, -1};
        if (!h.id_map.empty()) {
            EXPECT_EQ(pipe(in), 0);
            EXPECT_EQ(pipe(go), 0);
        }
        pid_t pid = fork();
        if (pid != 0) {
            if (!h.id_map.empty()) {
                // No byte: the child could not make its namespace (a chroot
                // may not), and has ended with status 99.
                char c = 0;
                close(in[1]);
                close(go[0]);
                if (read(in[0], &c, 1) == 1) {
                    std::string proc = "/proc/" + std::to_string(pid);
                    std::ofstream(proc + "/uid_map") << h.id_map;
                    std::ofstream(proc + "/gid_map") << h.id_map;
                    EXPECT_EQ(write(go[1], &c, 1), 1);
                }
                close(in[0]);
                close(go[1]);
            }
            return pid;
        }
        // The child: anything failing here shows as exit status 99.
        if (chdir(h.cwd.empty() ? dir.c_str() : h.cwd.c_str()) != 0)
            _exit(99);
        int stdin_fd = -1;
        if (h.tty) {
            int m = posix_openpt(O_RDWR | O_NOCTTY);
            if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0)
                _exit(99);
            stdin_fd = open(ptsname(m), O_RDWR | O_NOCTTY);
        } else {
            stdin_fd = open(h.input.empty() ? "/dev/null" : (aux + "/in").c_str(), O_RDONLY);
        }
        int out = open((aux + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open((aux + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (stdin_fd < 0 || out < 0 || err < 0 || dup2(stdin_fd, 0) < 0 || dup2(out, 1) < 0 ||
            dup2(err, 2) < 0)
            _exit(99);
        // A test runner started in the background may have these ignored.
        for (int sig = 1; sig < NSIG; sig++)
            std::ignore = signal(sig, SIG_DFL); // fails harmlessly for a few
        for (int sig : h.ignored)
            std::ignore = signal(sig, SIG_IGN);
        sigset_t none;
        sigemptyset(&none);
        std::ignore = sigprocmask(SIG_SETMASK, &none, nullptr);
        if (h.fsize != RLIM_INFINITY) {
            // Ignored, SIGXFSZ turns into EFBIG from write(2).
            std::ignore = signal(SIGXFSZ, SIG_IGN);
            struct rlimit rl {
                h.fsize, h.fsize
            };
            if (setrlimit(RLIMIT_FSIZE, &rl) != 0)
                _exit(99);
        }
        if (!h.id_map.empty()) {
            char c = 1;
            if (unshare(CLONE_NEWUSER) != 0 || write(in[1], &c, 1) != 1 ||
                read(go[0], &c, 1) != 1 || setresgid(0, 0, 0) != 0 || setresuid(0, 0, 0) != 0)
                _exit(99);
        }
        if (h.as_nobody && geteuid() == 0) {
            if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0)
                _exit(99);
        }
        std::string path = h.search ? h.search : aux + "/bin:" + std::getenv("PATH");
        setenv("PATH", path.c_str(), 1);
        setenv("TEST_PID", std::to_string(getpid()).c_str(), 1);

        // EOLSCRUB2_WRAP runs the program under a checker, e.g. valgrind.
        std::vector<std::string> argv;
        if (!h.strace.empty()) {
            // LeakSanitizer cannot work under ptrace; a sanitized build
            // would end every traced run with its complaint.
            std::string asan = "detect_leaks=0";
            if (const char* o = std::getenv("ASAN_OPTIONS"))
                asan = std::string(o) + ":" + asan;
            setenv("ASAN_OPTIONS", asan.c_str(), 1);
            // -D: strace runs beside, so the program keeps this process's
            // pid and its parent sees how it ended.
            argv = {"strace", "-D", "-qq", "-o", aux + "/trace"};
            for (const auto& o : h.strace)
                argv.insert(argv.end(), {"-e", o});
        }
        if (const char* wrap = std::getenv("EOLSCRUB2_WRAP")) {
            std::istringstream words(wrap);
            for (std::string w; words >> w;)
                argv.push_back(w);
        }
        // Found by its path: the search path is the test's to set.
        argv.push_back(aux + "/eolscrub2");
        if (!h.strace.empty())
            argv[0] = "/usr/bin/strace";
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

    // Starts a run that strace stops at the nth occurrence of a system
    // call, and returns once it has stopped there; resume() lets it go on.
    pid_t stopped_at(how h, const std::string& call, int nth = 1)
    {
        h.strace.insert(h.strace.end(), {"trace=" + call, "inject=" + call + ":signal=STOP:when=" +
                                                              std::to_string(nth)});
        fs::remove(aux + "/trace");
        pid_t pid = start(h);
        auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (;;) {
            // Traced, the program stops briefly at other moments too; the
            // trace says when the stop is the one injected.
            std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
            auto paren = stat.rfind(')');
            char state =
                paren != std::string::npos && paren + 2 < stat.size() ? stat[paren + 2] : '?';
            if ((state == 'T' || state == 't') &&
                slurp(aux + "/trace").find("--- stopped by SIGSTOP ---") != std::string::npos)
                return pid;
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                ADD_FAILURE() << "the run ended before " << call << " #" << nth << ": status "
                              << status << ", stderr \"" << slurp(aux + "/err") << "\"";
                return -1;
            }
            if (std::chrono::steady_clock::now() > limit) {
                ADD_FAILURE() << "the run never stopped at " << call << " #" << nth;
                return pid;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // Waits until the process `other` has ended, or has made the run (pid),
    // stopped, wait for a signal: a program that opens the file for
    // writing breaks the run's lease, and waits in turn.
    static void wait_for(pid_t other, pid_t pid)
    {
        const std::string status = "/proc/" + std::to_string(pid) + "/status";
        auto pending = [&] {
            std::string s = slurp(status);
            return s.find("SigPnd:\t0000000000000000") == std::string::npos ||
                   s.find("ShdPnd:\t0000000000000000") == std::string::npos;
        };
        auto ended = [&] {
            siginfo_t info{};
            return waitid(P_PID, other, &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                   info.si_pid == other;
        };
        auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!pending() && !ended() && std::chrono::steady_clock::now() < limit)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    result resume(pid_t pid)
    {
        if (pid < 0)
            return {};
        EXPECT_EQ(kill(pid, SIGCONT), 0);
        return finish(pid);
    }

    // Runs a shell command as the unprivileged user, as another user would.
    static void as_nobody(const std::string& script)
    {
        std::string cmd = "setpriv --reuid=65534 --regid=65534 --clear-groups -- sh -ec " +
                          eolscrub2::quote(script);
        ASSERT_EQ(std::system(cmd.c_str()), 0) << script;
    }
};

// For the tests that make files of another user's, or act as one: as root.
class Users : public Run {
protected:
    void SetUp() override
    {
        Run::SetUp();
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root, to make files of another user and act as one";
    }

    // A directory of the unprivileged user's, in which they may do as they
    // like.
    std::string theirs(const std::string& name)
    {
        std::string d = top + "/" + name;
        EXPECT_EQ(mkdir(d.c_str(), 0755), 0);
        EXPECT_EQ(chown(d.c_str(), nobody, nobody), 0);
        return d;
    }
};
