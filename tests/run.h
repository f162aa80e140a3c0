// SPDX-License-Identifier: ISC
// The end-to-end tests' fixture: the built program, run in a scratch
// directory of its own, judged by the files it leaves, its output streams
// and its exit status.
#pragma once

#include "fd.h"
#include "quote.h"
#include "texts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <vector>

#include <arpa/inet.h>
#include <endian.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <linux/fscrypt.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace eolscrub2::test;

inline constexpr uid_t nobody = 65534;
inline constexpr uid_t no_user = static_cast<uid_t>(-1);

// An ACL in the kernel's extended-attribute form, from its short text:
// "u::rw- u:65534:r-- g::r-- m::r-- o::---", entries in order of tag.
inline std::string acl(const std::string& text)
{
    std::string v("\x02\0\0\0", 4);
    std::istringstream in(text);
    for (std::string e; in >> e;) {
        const std::size_t c = e.find(':', 2);
        const std::string id = e.substr(2, c - 2);
        std::uint16_t tag = e[0] == 'u' ? 1 : e[0] == 'g' ? 4 : e[0] == 'm' ? 0x10 : 0x20;
        tag = static_cast<std::uint16_t>(id.empty() ? tag : tag * 2); // a named user or group
        std::uint16_t perm = 0;
        for (char p : e.substr(c + 1))
            perm = static_cast<std::uint16_t>(perm << 1 | (p != '-'));
        // Little-endian on every processor.
        const std::uint16_t t = htole16(tag), p = htole16(perm);
        const std::uint32_t i = htole32(id.empty() ? 0xffffffff : std::stoul(id));
        v.append(reinterpret_cast<const char*>(&t), 2);
        v.append(reinterpret_cast<const char*>(&p), 2);
        v.append(reinterpret_cast<const char*>(&i), 4);
    }
    return v;
}

// Sets path's "access" or "default" ACL, given as acl() takes it.
inline int set_acl(const std::string& path, const char* which, const std::string& text)
{
    const std::string v = acl(text);
    return setxattr(path.c_str(), ("system.posix_acl_" + std::string(which)).c_str(), v.data(),
                    v.size(), 0);
}

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
    bool tty_err = false;   // and on standard error, read back as the run's stderr
    rlim_t fsize = RLIM_INFINITY;
    std::vector<int> ignored;                              // signals the caller ignores
    std::vector<int> blocked;                              // signals the caller blocks
    std::vector<std::pair<std::string, std::string>> vars; // environment variables set
    std::vector<std::string> strace;                       // strace options to hold or fail the run
    std::string cwd;              // the program's directory, when not the fixture's
    const char* search = nullptr; // PATH, when not the stand-ins' and the caller's
    std::string id_map;           // run as root of a new user namespace with this map
    uid_t user = no_user;         // as this user and their groups, when run by root
    int mask = -1;                // the umask, when not the caller's

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
    how& terminal_errors()
    {
        tty_err = true;
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
    how& blocking(int sig)
    {
        blocked.push_back(sig);
        return *this;
    }
    how& env(std::string name, std::string value)
    {
        vars.emplace_back(std::move(name), std::move(value));
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
    // E.g. a user that Users::new_user() made.
    how& as(uid_t u)
    {
        user = u;
        return *this;
    }
    how& with_umask(mode_t m)
    {
        mask = static_cast<int>(m);
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
    std::vector<std::string> undos;  // shell commands that TearDown runs, last first
    std::string left_out;            // rows left out for want of a capability
    int pty_ = -1;                   // a terminal's master end, for how::terminal()

    // Whether this process has the capability (linux/capability.h's
    // number): a default container has neither CAP_SYS_ADMIN (mounts,
    // security labels) nor CAP_LINUX_IMMUTABLE (chattr +i, +a). Where it
    // lacks it the row is left out, and the test ends skipped, saying so.
    static bool capable(int cap)
    {
        __user_cap_header_struct h{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct d[2]{};
        return syscall(SYS_capget, &h, d) == 0 && ((d[cap / 32].effective >> (cap % 32)) & 1) != 0;
    }
    bool lacks(int cap, const char* row)
    {
        if (capable(cap))
            return false;
        const char* name = cap == CAP_SYS_ADMIN         ? "CAP_SYS_ADMIN"
                           : cap == CAP_LINUX_IMMUTABLE ? "CAP_LINUX_IMMUTABLE"
                           : cap == CAP_SETFCAP         ? "CAP_SETFCAP"
                                                        : "a capability";
        left_out += std::string(left_out.empty() ? "" : "; ") + row + " needs " + name;
        return true;
    }

    // Runs command now, and its undoing at the end of the test, whatever
    // becomes of it: a mount, an immutable file.
    void change(const std::string& command, const std::string& undo)
    {
        undos.push_back(undo);
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }

    // A tmpfs of the test's own, mounted with these options and unmounted
    // after it. Empty when the test has been skipped, where none can be
    // mounted (without CAP_SYS_ADMIN); a test returns then.
    std::string tmpfs(const std::string& options = "size=64m")
    {
        const std::string m = top + "/tmpfs" + std::to_string(undos.size());
        const std::string log = aux + "/tmpfs.log";
        EXPECT_EQ(mkdir(m.c_str(), 0755), 0);
        const std::string q = eolscrub2::quote(m);
        const std::string mount = "mount -t tmpfs -o " + options + " eolscrub2-test " + q + " >" +
                                  eolscrub2::quote(log) + " 2>&1";
        if (std::system(mount.c_str()) != 0) {
            [&] { GTEST_SKIP() << "needs a tmpfs of its own: " << slurp(log); }();
            return {};
        }
        undos.push_back("umount " + q);
        return m;
    }

    // A directory of this mode on another file system than the scratch
    // directory's, removed after the test: mv must copy to reach it. A
    // container's /dev/shm is a tmpfs of its own, but a chroot's may lie on
    // the root's file system; then a tmpfs is mounted for the test. Empty
    // when the test has been skipped; a test returns then.
    std::string elsewhere(mode_t mode)
    {
        struct stat st {};
        std::string t = "/dev/shm/eolscrub2-test.XXXXXX";
        if (stat("/dev/shm", &st) == 0 && st.st_dev != info(dir).st_dev &&
            mkdtemp(t.data()) != nullptr)
            undos.push_back("rm -rf " + eolscrub2::quote(t));
        else if ((t = tmpfs()).empty())
            return {}; // skipped
        EXPECT_EQ(chmod(t.c_str(), mode), 0) << t;
        return t;
    }

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
        for (auto u = undos.rbegin(); u != undos.rend(); ++u)
            EXPECT_EQ(std::system(u->c_str()), 0) << *u;
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
        if (!left_out.empty())
            GTEST_SKIP() << "left out: " << left_out;
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
        if (h.tty || h.tty_err) {
            // Its other end opened once here, so that reading this end ends
            // even where the child fails before it opens the terminal.
            pty_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            int t = pty_ >= 0 && grantpt(pty_) == 0 && unlockpt(pty_) == 0
                        ? open(ptsname(pty_), O_RDWR | O_NOCTTY | O_CLOEXEC)
                        : -1;
            EXPECT_TRUE(t >= 0 && close(t) == 0) << "no pseudo-terminal: " << std::strerror(errno);
        }
        // With a namespace, the maps are written from outside once the
        // child is in it (in), and then it may go on (go).
        int in[2] = {-1, -1};
        int go[2] = {-1, -1};
        if (!h.id_map.empty()) {
            EXPECT_EQ(pipe(in), 0);
            EXPECT_EQ(pipe(go), 0);
        }
        // Looked up before the fork, so that the child only makes system calls.
        std::vector<gid_t> groups;
        gid_t group = 0;
        bool known = true;
        if (h.user != no_user) {
            const struct passwd* pw = getpwuid(h.user);
            known = pw != nullptr;
            EXPECT_TRUE(known) << "no user " << h.user;
            if (known) {
                group = pw->pw_gid;
                int n = 64;
                groups.resize(n);
                if (getgrouplist(pw->pw_name, group, groups.data(), &n) < 0) {
                    groups.resize(n);
                    getgrouplist(pw->pw_name, group, groups.data(), &n);
                }
                groups.resize(n);
            }
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
        int stdin_fd = h.tty
                           ? open(ptsname(pty_), O_RDWR | O_NOCTTY)
                           : open(h.input.empty() ? "/dev/null" : (aux + "/in").c_str(), O_RDONLY);
        int out = open((aux + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = h.tty_err ? open(ptsname(pty_), O_RDWR | O_NOCTTY)
                            : open((aux + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (stdin_fd < 0 || out < 0 || err < 0 || dup2(stdin_fd, 0) < 0 || dup2(out, 1) < 0 ||
            dup2(err, 2) < 0)
            _exit(99);
        // A test runner started in the background may have these ignored.
        for (int sig = 1; sig < NSIG; sig++)
            std::ignore = signal(sig, SIG_DFL); // fails harmlessly for a few
        for (int sig : h.ignored)
            std::ignore = signal(sig, SIG_IGN);
        sigset_t mask;
        sigemptyset(&mask);
        for (int sig : h.blocked)
            sigaddset(&mask, sig);
        std::ignore = sigprocmask(SIG_SETMASK, &mask, nullptr);
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
        if (h.user != no_user && geteuid() == 0) {
            if (!known || setgroups(groups.size(), groups.data()) != 0 || setgid(group) != 0 ||
                setuid(h.user) != 0)
                _exit(99);
        }
        if (h.mask >= 0)
            umask(static_cast<mode_t>(h.mask));
        std::string path = h.search ? h.search : aux + "/bin:" + std::getenv("PATH");
        setenv("PATH", path.c_str(), 1);
        setenv("TEST_PID", std::to_string(getpid()).c_str(), 1);
        for (const auto& [name, value] : h.vars)
            setenv(name.c_str(), value.c_str(), 1);

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
        // What the run wrote to the terminal, until it closed its end.
        for (char b[4096]; pty_ >= 0;) {
            ssize_t n = read(pty_, b, sizeof b);
            if (n <= 0) {
                close(pty_);
                pty_ = -1;
            } else {
                r.err.append(b, static_cast<std::size_t>(n));
            }
        }
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

    // Runs a shell command as the unprivileged user, as another user would,
    // in the supplementary group given, if any.
    static void as_nobody(const std::string& script, gid_t group = 0)
    {
        as_ids("--reuid=65534 --regid=65534 " +
                   (group == 0 ? "--clear-groups" : "--groups=" + std::to_string(group)),
               script);
    }

    // Runs a shell command with setpriv's identity options ids.
    static void as_ids(const std::string& ids, const std::string& script)
    {
        std::string cmd = "setpriv " + ids + " -- sh -ec " + eolscrub2::quote(script);
        ASSERT_EQ(std::system(cmd.c_str()), 0) << ids << ": " << script;
    }

    // Waits until every child of the stopped run (pid) has ended: the
    // command it was about to wait for has done all it will.
    static void children_ended(pid_t pid)
    {
        const std::string p = "/proc/" + std::to_string(pid);
        auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (;;) {
            std::istringstream kids(slurp(p + "/task/" + std::to_string(pid) + "/children"));
            bool running = false;
            for (std::string k; kids >> k;) {
                std::string stat = slurp("/proc/" + k + "/stat");
                auto paren = stat.rfind(')');
                running |= paren == std::string::npos || stat.compare(paren + 2, 1, "Z") != 0;
            }
            if (!running || std::chrono::steady_clock::now() > limit)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // A process that holds f open for writing, or mapped writable, until
    // it is ended (end()); as the unprivileged user in group, if one is
    // given, which then makes f.
    static pid_t holder(const std::string& f, bool mapped, gid_t group = 0)
    {
        int ready[2];
        EXPECT_EQ(pipe(ready), 0);
        pid_t pid = fork();
        if (pid == 0) {
            if (group != 0 &&
                (setgroups(1, &group) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0))
                _exit(1);
            int d = open(f.c_str(), mapped ? O_RDWR : O_WRONLY | O_APPEND);
            void* m =
                mapped ? mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, d, 0) : nullptr;
            if (d < 0 || m == MAP_FAILED || (mapped && close(d) != 0) ||
                write(ready[1], "x", 1) != 1)
                _exit(1);
            pause();
            _exit(0);
        }
        char c = 0;
        EXPECT_EQ(read(ready[0], &c, 1), 1) << "could not hold " << f;
        close(ready[0]);
        close(ready[1]);
        return pid;
    }

    static void end(pid_t pid)
    {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
};

// The file systems that files from Windows come on, each through the
// driver its users have, and two more that a network or a user adds.
enum class kind { ntfs, exfat, fat, sshfs, bindfs, ext4, btrfs };

// Each kind's driver, how its image is made ("" for none), and whether
// the image is mounted through a loop device.
struct kind_facts {
    const char* name;
    const char* mkfs;
    bool loop;
};
inline const kind_facts& facts(kind k)
{
    static const kind_facts all[] = {
        {"ntfs-3g", "mkntfs -Q -F -q", true}, // as a USB stick or partition is
        {"exfat-fuse", "mkfs.exfat", true},
        {"fusefat", "mkfs.vfat", false}, // on the image itself, writable (rw+)
        {"sshfs", "", false},            // to an sshd of the test's own on a loopback port
        {"bindfs", "", false},           // over a directory of the test's
        {"ext4", "mkfs.ext4 -q -O encrypt", true},
        {"btrfs", "mkfs.btrfs -q", true},
    };
    return all[static_cast<int>(k)];
}

inline const char* kind_name(kind k)
{
    return facts(k).name;
}

// For the tests that make files of another user's, or act as one: as root.
// What a test makes here (users, volumes, an sshd) is undone after it,
// whatever its outcome, before its scratch directory is removed.
class Users : public Run {
protected:
    struct account {
        std::string name;
        uid_t uid = no_user;
        gid_t gid = 0;
        std::string home; // theirs, in the scratch directory
    };

    void SetUp() override
    {
        Run::SetUp();
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root, to make files of another user and act as one";
    }

    void TearDown() override
    {
        // The scratch directory holds the mount points, and remove_all
        // would walk into one; a user goes once nothing of theirs runs.
        undo_volumes();
        remove_users();
        Run::TearDown();
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

    // A new user with a private group of their own and a home directory
    // in the scratch directory, as useradd makes one by default; for
    // how::as() and as_user(). Throws if one cannot be made.
    account new_user()
    {
        account a;
        a.name = "eolscrub2-" + std::to_string(getpid()) + "-" + std::to_string(users_.size() + 1);
        a.home = top + "/" + a.name;
        users_.push_back(a.name);
        const std::string log = aux + "/useradd.log";
        // '*', no password, rather than useradd's locked '!': sshd turns a
        // locked account away even with a key.
        if (!sh("useradd -U -M -s /bin/sh -p '*' -d " + eolscrub2::quote(a.home) + " " +
                    eolscrub2::quote(a.name),
                log))
            throw std::runtime_error("useradd " + a.name + ": " + slurp(log));
        const struct passwd* pw = getpwnam(a.name.c_str());
        if (pw == nullptr)
            throw std::runtime_error("useradd made no " + a.name);
        a.uid = pw->pw_uid;
        a.gid = pw->pw_gid;
        if (mkdir(a.home.c_str(), 0700) != 0 || chown(a.home.c_str(), a.uid, a.gid) != 0)
            throw std::runtime_error(a.home + ": " + std::strerror(errno));
        return a;
    }

    // Runs a shell command as that user, with their groups.
    static void as_user(const account& a, const std::string& script)
    {
        as_ids("--reuid=" + std::to_string(a.uid) + " --regid=" + std::to_string(a.gid) +
                   " --init-groups",
               script);
    }

    // Why a volume of this kind cannot be mounted here, or nothing.
    static std::string unavailable(kind k)
    {
        static const struct {
            kind k;
            const char* tool;
            const char* package;
        } needs[] = {
            {kind::ntfs, "ntfs-3g", "ntfs-3g"},
            {kind::ntfs, "mkntfs", "ntfs-3g"},
            {kind::exfat, "mount.exfat-fuse", "exfat-fuse"},
            {kind::exfat, "mkfs.exfat", "exfatprogs"},
            {kind::fat, "fusefat", "fusefat"},
            {kind::fat, "mkfs.vfat", "dosfstools"},
            {kind::sshfs, "sshfs", "sshfs"},
            {kind::sshfs, "sshd", "openssh-server"},
            {kind::sshfs, "ssh-keygen", "openssh-client"},
            {kind::bindfs, "bindfs", "bindfs"},
            {kind::ext4, "mkfs.ext4", "e2fsprogs"},
            {kind::ext4, "chattr", "e2fsprogs"},
            {kind::btrfs, "mkfs.btrfs", "btrfs-progs"},
        };
        for (const auto& n : needs) {
            if (n.k == k && tool(n.tool).empty())
                return std::string(kind_name(k)) + " needs " + n.tool + " (package " + n.package +
                       "), which is not installed";
        }
        const bool fuse = k != kind::ext4 && k != kind::btrfs;
        if (!fuse && !capable(CAP_SYS_ADMIN))
            return std::string(kind_name(k)) + " needs CAP_SYS_ADMIN, to be mounted";
        if (fuse && access("/dev/fuse", R_OK | W_OK) != 0) {
            return std::string("no FUSE file system can be mounted here: /dev/fuse: ") +
                   std::strerror(errno);
        }
        return {};
    }

    // Makes a new volume of this kind in the scratch directory, mounts it
    // with these driver options (-o), and returns its mount point, which
    // lasts as long as the test. FUSE volumes are mounted allow_other, so
    // that the test's users may reach them. sshfs shows the directory
    // MOUNT.dir, of the remote account's, in which it logs in (root, or a
    // user of new_user()); bindfs shows MOUNT.dir, mode 1777 as /tmp.
    // Empty when the test has been skipped, for the reason given; a test
    // returns then. Throws when a volume that can be made here is not.
    std::string volume(kind k, const std::string& options = {}, uid_t remote = 0)
    {
        if (std::string why = unavailable(k); !why.empty()) {
            [&] { GTEST_SKIP() << why; }();
            return {};
        }
        std::string mnt = top + "/v" + std::to_string(volumes_.size() + 1);
        const std::string img = mnt + ".img";
        const std::string dir = mnt + ".dir";
        const std::string log = mnt + ".log";
        volumes_.push_back({mnt, {}});
        if (mkdir(mnt.c_str(), 0755) != 0)
            throw std::runtime_error(mnt + ": " + std::strerror(errno));
        const std::string o = options.empty() ? "" : " -o " + eolscrub2::quote(options);
        const std::string also = options.empty() ? "" : "," + options;
        const auto q = [](const std::string& s) { return eolscrub2::quote(s); };
        if (*facts(k).mkfs != '\0')
            format(facts(k).mkfs, img, log);
        std::string dev;
        if (facts(k).loop) {
            dev = attach(img);
            if (dev.empty())
                return {}; // skipped
        }
        std::string cmd;
        switch (k) {
        case kind::ntfs:
            cmd = "ntfs-3g" + o + " " + q(dev) + " " + q(mnt);
            break;
        case kind::exfat:
            cmd = "mount.exfat-fuse" + o + " " + q(dev) + " " + q(mnt);
            break;
        case kind::fat:
            cmd = "fusefat -o " + q("rw+,allow_other" + also) + " " + q(img) + " " + q(mnt);
            break;
        case kind::sshfs: {
            const struct passwd* pw = getpwuid(remote);
            if (pw == nullptr)
                throw std::runtime_error("sshfs: no user " + std::to_string(remote));
            if (mkdir(dir.c_str(), 0755) != 0 || chown(dir.c_str(), remote, pw->pw_gid) != 0)
                throw std::runtime_error(dir + ": " + std::strerror(errno));
            start_sshd();
            // Only the test's own keys, and no configuration of the caller's.
            const std::string ssh = "IdentityFile=" + ssh_ + "/client,IdentitiesOnly=yes," +
                                    "UserKnownHostsFile=" + ssh_ + "/known_hosts," +
                                    "StrictHostKeyChecking=yes,BatchMode=yes";
            cmd = "sshfs -F /dev/null -p " + std::to_string(port_) + " -o " +
                  q(ssh + ",allow_other" + also) + " " +
                  q(std::string(pw->pw_name) + "@127.0.0.1:" + dir) + " " + q(mnt);
            break;
        }
        case kind::bindfs:
            if (mkdir(dir.c_str(), 0755) != 0 || chmod(dir.c_str(), 01777) != 0)
                throw std::runtime_error(dir + ": " + std::strerror(errno));
            cmd = "bindfs" + o + " " + q(dir) + " " + q(mnt);
            break;
        case kind::ext4:
        case kind::btrfs:
            cmd = "mount" + o + " " + q(dev) + " " + q(mnt);
            break;
        }
        // Each driver returns once the volume is mounted, and runs on in
        // the background; undo_volumes() finds it by its arguments.
        if (!sh(cmd, log))
            throw std::runtime_error(std::string("cannot mount ") + kind_name(k) + " with " +
                                     q(options) + ": " + slurp(log));
        return mnt;
    }

    // Makes the empty directory d encrypted (fscrypt, policy v2) with a
    // new key, which goes with the file system when it is unmounted.
    // Why it cannot be, where the kernel or qemu-user has no such calls.
    static std::string encrypt(const std::string& d)
    {
        std::vector<unsigned char> arg(sizeof(fscrypt_add_key_arg) + 64, 7); // any key will do
        auto* add = reinterpret_cast<fscrypt_add_key_arg*>(arg.data());
        std::memset(add, 0, sizeof *add);
        add->key_spec.type = FSCRYPT_KEY_SPEC_TYPE_IDENTIFIER;
        add->raw_size = 64;
        fscrypt_policy_v2 policy{FSCRYPT_POLICY_V2,
                                 FSCRYPT_MODE_AES_256_XTS,
                                 FSCRYPT_MODE_AES_256_CTS,
                                 FSCRYPT_POLICY_FLAGS_PAD_32,
                                 {},
                                 {}};
        eolscrub2::fd f{open(d.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
        bool added = f.ok() && ioctl(f.get(), FS_IOC_ADD_ENCRYPTION_KEY, add) == 0;
        std::memcpy(policy.master_key_identifier, add->key_spec.u.identifier,
                    sizeof policy.master_key_identifier);
        if (added && ioctl(f.get(), FS_IOC_SET_ENCRYPTION_POLICY, &policy) == 0)
            return {};
        const int err = errno;
        if (err == ENOSYS || err == ENOTTY || err == EOPNOTSUPP)
            return d + " cannot be encrypted here: " + std::strerror(err);
        throw std::runtime_error(d + ": cannot be encrypted: " + std::strerror(err));
    }

private:
    struct mounted {
        std::string at;
        std::string loop; // the loop device it lies on, if any
    };
    std::vector<mounted> volumes_;
    std::vector<std::string> users_;
    pid_t sshd_ = -1;
    int port_ = 0;
    std::string ssh_;           // the sshd's keys, configuration and log
    bool made_privsep_ = false; // /run/sshd, which sshd needs and was missing

    // Runs a shell command, its output to log; whether it succeeded.
    static bool sh(const std::string& cmd, const std::string& log)
    {
        return std::system((cmd + " >>" + eolscrub2::quote(log) + " 2>&1").c_str()) == 0;
    }

    // The path of a program, on the search path or in the system's own
    // directories, which a user's search path may lack; empty when none.
    static std::string tool(const std::string& name)
    {
        const char* p = std::getenv("PATH");
        std::istringstream dirs(std::string(p != nullptr ? p : "") + ":/usr/sbin:/sbin");
        for (std::string d; std::getline(dirs, d, ':');) {
            if (d.empty())
                continue;
            d += "/";
            d += name;
            if (access(d.c_str(), X_OK) == 0)
                return d;
        }
        return {};
    }

    // A sparse image of 128 MiB (btrfs's least), formatted.
    static void format(const std::string& mkfs, const std::string& img, const std::string& log)
    {
        int fd = open(img.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        bool made = fd >= 0 && ftruncate(fd, off_t{128} << 20) == 0;
        if (fd >= 0)
            close(fd);
        if (!made)
            throw std::runtime_error(img + ": " + std::strerror(errno));
        if (!sh(mkfs + " " + eolscrub2::quote(img), log))
            throw std::runtime_error(mkfs + ": " + slurp(log));
    }

    // The image on a new loop device, detached after the test: its path;
    // empty when the test has been skipped, for want of loop devices.
    std::string attach(const std::string& img)
    {
        const std::string out = img + ".loop";
        const std::string log = out + ".log";
        const bool attached = sh("{ losetup --find --show " + eolscrub2::quote(img) + " >" +
                                     eolscrub2::quote(out) + "; }",
                                 log);
        std::string dev = slurp(out);
        dev.erase(dev.find_last_not_of('\n') + 1);
        volumes_.back().loop = dev;
        if (!attached || dev.empty()) {
            dev.clear();
            [&] { GTEST_SKIP() << "no loop device can be attached here: " << slurp(log); }();
        }
        return dev;
    }

    static int free_port()
    {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        int port = 0;
        if (s >= 0 && bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            getsockname(s, reinterpret_cast<sockaddr*>(&a), &n) == 0)
            port = ntohs(a.sin_port);
        if (s >= 0)
            close(s);
        return port;
    }

    static bool listening(int port)
    {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        bool ok = s >= 0 && connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        if (s >= 0)
            close(s);
        return ok;
    }

    // An sshd for this test alone, on a free loopback port, with a
    // throwaway host key, and a client key that every account accepts.
    void start_sshd()
    {
        if (sshd_ > 0)
            return;
        ssh_ = top + "/ssh";
        const std::string log = ssh_ + "/log";
        const std::string sshd = tool("sshd");
        if (mkdir(ssh_.c_str(), 0755) != 0)
            throw std::runtime_error(ssh_ + ": " + std::strerror(errno));
        for (const char* key : {"host", "client"}) {
            if (!sh("ssh-keygen -q -t ed25519 -N '' -C eolscrub2-test -f " +
                        eolscrub2::quote(ssh_ + "/" + key),
                    log))
                throw std::runtime_error("ssh-keygen: " + slurp(log));
        }
        // Read as the account logged in to.
        put(ssh_ + "/authorized_keys", slurp(ssh_ + "/client.pub"), 0644);
        // Where each connection's unprivileged part is confined.
        if (access("/run/sshd", F_OK) != 0) {
            if (mkdir("/run/sshd", 0755) != 0)
                throw std::runtime_error(std::string("/run/sshd: ") + std::strerror(errno));
            made_privsep_ = true;
        }
        // A port found free may be taken before sshd binds it: a few tries.
        for (int tries = 0; tries < 5 && sshd_ < 0; tries++) {
            port_ = free_port();
            const std::string config = ssh_ + "/sshd_config";
            std::ofstream(config) << "ListenAddress 127.0.0.1:" << port_ << "\n"
                                  << "HostKey " << ssh_ << "/host\n"
                                  << "PidFile none\n"
                                  << "AuthorizedKeysFile " << ssh_ << "/authorized_keys\n"
                                  << "StrictModes no\n"
                                  << "UsePAM no\n"
                                  << "PasswordAuthentication no\n"
                                  << "KbdInteractiveAuthentication no\n"
                                  << "PermitRootLogin prohibit-password\n"
                                  << "Subsystem sftp internal-sftp\n";
            pid_t pid = fork();
            if (pid == 0) {
                int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
                int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
                sigset_t none;
                sigemptyset(&none);
                if (setsid() < 0 || out < 0 || in < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 ||
                    dup2(out, 2) < 0 || sigprocmask(SIG_SETMASK, &none, nullptr) != 0)
                    _exit(99);
                // By its full path, which sshd needs to run itself again
                // for each connection.
                execl(sshd.c_str(), sshd.c_str(), "-D", "-e", "-f", config.c_str(), nullptr);
                _exit(98);
            }
            if (pid < 0)
                throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
            // Until it listens, or has ended; no test waits on it otherwise.
            auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            int status = 0;
            while (!listening(port_)) {
                if (waitpid(pid, &status, WNOHANG) == pid) {
                    pid = -1;
                    break;
                }
                if (std::chrono::steady_clock::now() > limit) {
                    kill(pid, SIGKILL);
                    waitpid(pid, &status, 0);
                    throw std::runtime_error("sshd did not listen in 30 s: " + slurp(log));
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            if (pid > 0)
                sshd_ = pid;
            else if (slurp(log).find("Address already in use") == std::string::npos)
                throw std::runtime_error("sshd ended: " + slurp(log));
        }
        if (sshd_ < 0)
            throw std::runtime_error("sshd found no free port: " + slurp(log));
        std::ofstream(ssh_ + "/known_hosts")
            << "[127.0.0.1]:" << port_ << " " << slurp(ssh_ + "/host.pub");
    }

    // A process to wait for: held by a pidfd, so that a pid used again
    // meanwhile is never waited for or killed.
    struct process {
        int fd;
        pid_t pid;
        pid_t parent;
        std::string args;
    };

    // Every process whose arguments name something in the scratch
    // directory (the drivers, the ssh clients, the sshd), and all their
    // descendants (the sshd's connections).
    std::vector<process> ours() const
    {
        std::vector<std::pair<pid_t, pid_t>> parents; // pid, parent
        std::vector<pid_t> found;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator("/proc", ec)) {
            const std::string n = e.path().filename().string();
            if (n.find_first_not_of("0123456789") != std::string::npos)
                continue;
            const pid_t pid = std::stoi(n);
            const std::string stat = slurp(e.path().string() + "/stat");
            auto paren = stat.rfind(')');
            if (paren == std::string::npos)
                continue;
            std::istringstream rest(stat.substr(paren + 2));
            char state = 0;
            pid_t parent = 0;
            rest >> state >> parent;
            parents.emplace_back(pid, parent);
            if (pid != getpid() &&
                slurp(e.path().string() + "/cmdline").find(top) != std::string::npos)
                found.push_back(pid);
        }
        for (std::size_t i = 0; i < found.size(); i++) {
            for (const auto& [pid, parent] : parents) {
                if (parent == found[i] && std::find(found.begin(), found.end(), pid) == found.end())
                    found.push_back(pid);
            }
        }
        std::vector<process> all;
        for (pid_t pid : found) {
            int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
            auto p = std::find_if(parents.begin(), parents.end(),
                                  [pid](const auto& e) { return e.first == pid; });
            if (fd >= 0)
                all.push_back({fd, pid, p != parents.end() ? p->second : 0,
                               slurp("/proc/" + std::to_string(pid) + "/cmdline")});
        }
        return all;
    }

    // Unmounts every volume (lazily if it is busy), stops the sshd by its
    // pid, waits for every process of theirs to end, killing what has not
    // in 30 s, and then detaches the loop devices.
    void undo_volumes()
    {
        if (volumes_.empty() && sshd_ < 0)
            return;
        std::vector<process> running = ours();
        // A run of the program that a failed test left, stopped perhaps,
        // would keep a volume busy, and its driver running.
        for (const auto& p : running) {
            if (p.parent == getpid() && p.pid != sshd_ && kill(p.pid, SIGKILL) == 0)
                waitpid(p.pid, nullptr, 0);
        }
        const std::string log = aux + "/umount.log";
        for (auto v = volumes_.rbegin(); v != volumes_.rend(); ++v) {
            const std::string at = eolscrub2::quote(v->at);
            if (sh("findmnt -rn --mountpoint " + at, "/dev/null") && !sh("umount " + at, log) &&
                !sh("umount -l " + at, log))
                ADD_FAILURE() << v->at << " could not be unmounted: " << slurp(log);
        }
        if (sshd_ > 0)
            kill(sshd_, SIGTERM);
        auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (auto& p : running) {
            pollfd ended{p.fd, POLLIN, 0};
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                limit - std::chrono::steady_clock::now());
            if (poll(&ended, 1, static_cast<int>(std::max<long>(0, left.count()))) == 0) {
                std::replace(p.args.begin(), p.args.end(), '\0', ' ');
                ADD_FAILURE() << "still running after the volumes were unmounted, killed: " << p.pid
                              << " " << p.args;
                syscall(SYS_pidfd_send_signal, p.fd, SIGKILL, nullptr, 0);
                std::ignore = poll(&ended, 1, 10000);
            }
            close(p.fd);
        }
        if (sshd_ > 0)
            waitpid(sshd_, nullptr, 0);
        sshd_ = -1;
        if (made_privsep_ && rmdir("/run/sshd") == 0)
            made_privsep_ = false;
        for (const auto& v : volumes_) {
            if (!v.loop.empty() && !sh("losetup -d " + eolscrub2::quote(v.loop), log))
                ADD_FAILURE() << v.loop << " could not be detached: " << slurp(log);
        }
        volumes_.clear();
    }

    void remove_users()
    {
        const std::string log = aux + "/userdel.log";
        for (const auto& n : users_) {
            const std::string name = eolscrub2::quote(n);
            // -f: even while a process of theirs runs; their home is in the
            // scratch directory, and goes too.
            if (getpwnam(n.c_str()) != nullptr && !sh("userdel -r " + name, log))
                std::ignore = sh("userdel -f -r " + name, log);
            if (getgrnam(n.c_str()) != nullptr)
                std::ignore = sh("groupdel " + name, log);
            EXPECT_EQ(getpwnam(n.c_str()), nullptr) << "user " << n << " left: " << slurp(log);
            EXPECT_EQ(getgrnam(n.c_str()), nullptr) << "group " << n << " left: " << slurp(log);
        }
        users_.clear();
    }
};
