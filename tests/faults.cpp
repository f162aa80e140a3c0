// Fault injection: every system call that a conversion makes in the
// program's own process is made to fail, at each occurrence and with each
// error it can plausibly return, or the process is killed right there. After
// each run the files must show that no byte was lost and that the exit
// status and the message tell the truth about what is on disk.
//
// A first run of each input under strace lists the calls; then one run per
// (call, occurrence, fault) under strace -e inject, two at a time. Usage:
//
//   faults PATH-TO-EOLSCRUB2
//
// Set FAULTS_KEEP=1 to keep the scratch directories of runs that broke the
// rule.

#include "texts.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace fs = std::filesystem;
using eolscrub2::test::reference;
using eolscrub2::test::slurp;

namespace {

// Where main starts in a trace: its first system call. Everything before
// it belongs to the C runtime and the dynamic loader and is left alone.
const std::string first_call = "rt_sigaction(SIGCHLD, {sa_handler=SIG_DFL";

constexpr auto time_limit = std::chrono::seconds(10);
constexpr std::size_t parallel = 2;
const std::string work_prefix = "eolscrub.tmp.";

struct input {
    std::string name;
    std::string bytes;
    mode_t mode = 0644;
    bool filter = false; // fed on stdin, with no path
    bool xattr = false;  // carries a user attribute, so that it is copied
    std::string shell;   // how to make it by hand, for the reproducing line
    std::string conv{};  // what the conversion makes of it, filled in below
};

std::vector<input> inputs()
{
    // Lines cut mid-line, with no final LF: the last 512 KiB block is
    // partial and the conversion must add the LF. More than 8 MiB come out,
    // so the work file's early write-back is asked for once.
    const std::string line = "a line of text\r\n";
    std::string large;
    const std::size_t size = 9737779; // 9.3 MiB
    while (large.size() < size)
        large += line;
    large.resize(size);
    const std::string make_large =
        "yes \"$(printf 'a line of text\\r')\" | head -c " + std::to_string(size);
    std::vector<input> v = {
        {.name = "small",
         .bytes = "one\r\ntwo\r\n\x1a",
         .mode = 0640,
         .xattr = true,
         .shell = "printf 'one\\r\\ntwo\\r\\n\\032' > f && chmod 640 f && "
                  "setfattr -n user.eolscrub2 -v kept f"},
        {.name = "large", .bytes = large, .shell = make_large + " > f && chmod 644 f"},
        {.name = "converted",
         .bytes = "one\ntwo\n",
         .mode = 0600,
         .shell = "printf 'one\\ntwo\\n' > f && chmod 600 f"},
        {.name = "filter", .bytes = large, .filter = true, .shell = make_large + " > in"},
    };
    for (auto& i : v)
        i.conv = reference(i.bytes);
    return v;
}

// The errors each call is given besides SIGKILL; the C library may use
// either of the stat, spawn and sync calls named. EOPNOTSUPP is ENOTSUP.
const std::map<std::string, std::vector<std::string>>& errors()
{
    static const std::vector<std::string> xattr = {"EOPNOTSUPP", "EPERM", "ENOSPC"};
    static const std::vector<std::string> spawn = {"EAGAIN", "ENOMEM"};
    static const std::vector<std::string> sync = {"EIO", "ENOSPC"};
    static const std::vector<std::string> eio = {"EIO"};
    static const std::map<std::string, std::vector<std::string>> m = {
        {"read", {"EIO", "EINTR"}},
        {"write", {"ENOSPC", "EIO", "EDQUOT", "EFBIG", "EINTR"}},
        {"fsync", sync},
        {"fdatasync", sync},
        {"sync_file_range", eio},
        {"close", eio},
        {"openat", {"EACCES", "ENOSPC", "EMFILE"}},
        {"newfstatat", eio},
        {"fstat", eio},
        {"statx", eio},
        {"fcntl", {"EINVAL"}},
        {"fchown", {"EPERM"}},
        {"fchmod", {"EPERM", "EIO"}},
        {"flistxattr", xattr},
        {"fgetxattr", xattr},
        {"fsetxattr", xattr},
        {"fremovexattr", xattr},
        {"clone3", spawn},
        {"clone", spawn},
        {"vfork", spawn},
        {"wait4", {"ECHILD", "EINTR"}},
        {"getcwd", {"ENOENT"}},
        {"unlinkat", eio},
        {"fchdir", {"EACCES"}},
        {"mmap", {"ENOMEM"}},
    };
    return m;
}

// Calls for which no error is sensible: the kernel does not fail them for
// a correct program, or the C library cannot survive it (a failed brk
// corrupts malloc's idea of the heap). They get SIGKILL only; any other
// call gets EIO too.
const std::set<std::string> kill_only = {
    "brk",          "munmap",     "mprotect",  "madvise", "rt_sigaction", "rt_sigprocmask",
    "rt_sigreturn", "exit_group", "getrandom", "futex",
};

const std::vector<std::string>& faults_of(const std::string& call)
{
    static const std::vector<std::string> none;
    static const std::vector<std::string> eio = {"EIO"};
    if (auto it = errors().find(call); it != errors().end())
        return it->second;
    return kill_only.count(call) ? none : eio;
}

// Whether an error in this call, ignored, loses data: a failed write to a
// file or to stdout (fd 2 carries only messages; EINTR only asks for a
// retry), a failed sync, a read that returned garbage.
bool loses_data(const std::string& call, const std::string& err, int fd)
{
    if (call == "write")
        return fd != 2 && err != "EINTR";
    if (call == "fsync" || call == "fdatasync")
        return true;
    return call == "read" && err == "EIO";
}

bool spit(const fs::path& p, const std::string& data)
{
    std::ofstream f(p, std::ios::binary);
    f << data;
    f.close();
    return !f.fail();
}

// A trace line's call name, or "" for a signal or exit line.
std::string call_of(const std::string& line)
{
    auto p = line.find('(');
    if (p == std::string::npos || p == 0 || line[0] == '-' || line[0] == '+')
        return {};
    return line.substr(0, p);
}

// The first argument of a trace line when it is a number (a descriptor).
int first_fd(const std::string& line)
{
    auto p = line.find('(');
    if (p == std::string::npos)
        return -1;
    int v = 0;
    bool any = false;
    for (std::size_t i = p + 1; i < line.size() && line[i] >= '0' && line[i] <= '9'; i++) {
        v = v * 10 + (line[i] - '0');
        any = true;
    }
    return any ? v : -1;
}

std::vector<std::string> lines_of(const std::string& s)
{
    std::vector<std::string> v;
    std::istringstream in(s);
    for (std::string l; std::getline(in, l);)
        v.push_back(l);
    return v;
}

// Quoted for a report line: printable, on one line, not too long.
std::string shown(const std::string& s, std::size_t max = 300)
{
    std::string o = "\"";
    for (std::size_t i = 0; i < s.size() && i < max; i++) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c == '\n')
            o += "\\n";
        else if (c == '\r')
            o += "\\r";
        else if (c == '"' || c == '\\')
            o += std::string("\\") + static_cast<char>(c);
        else if (c < 0x20 || c >= 0x7f)
            o += "\\x" + std::string(1, "0123456789abcdef"[c >> 4]) + "0123456789abcdef"[c & 15];
        else
            o += static_cast<char>(c);
    }
    if (s.size() > max)
        o += "...";
    return o + "\"";
}

// One run of the program under strace, in a directory of its own:
// top/N/w is its current directory and holds the input, top/N/io its
// standard streams and the trace.
struct run {
    const input* in = nullptr;
    std::string call;  // empty for the listing run
    int nth = 0;       // the occurrence after main's start, from 1
    int when = 0;      // the same occurrence counted from the process start
    std::string fault; // an errno name, or KILL
    std::string line;  // the call as the listing showed it

    fs::path dir, w, io;
    ino_t ino = 0;
    pid_t pid = -1; // the runner, leader of the run's process group
    int pipe = -1;  // where the runner reports the wait status
    std::chrono::steady_clock::time_point deadline;
    int status = 0;
    bool timed_out = false;
    std::string log;     // the listing run's trace
    bool missed = false; // the fault was never injected

    std::vector<std::string> strace_args(const std::string& log) const
    {
        std::vector<std::string> a = {"strace", "-qq", "-o", log};
        if (!call.empty()) {
            std::string how = fault == "KILL" ? "signal=KILL" : "error=" + fault;
            a.insert(a.end(), {"-e", "trace=" + call, "-e",
                               "inject=" + call + ":" + how + ":when=" + std::to_string(when)});
        }
        return a;
    }
};

std::string program;
fs::path top;
bool keep = false;
std::set<std::string> kept; // the directories of broken runs, with FAULTS_KEEP

// Sets up the scratch directory and starts the run; false if it could not.
bool start(run& r, int serial)
{
    r.dir = top / std::to_string(serial);
    r.w = r.dir / "w";
    r.io = r.dir / "io";
    std::error_code ec;
    fs::create_directories(r.w, ec);
    if (ec)
        return false;
    fs::create_directories(r.io, ec);
    if (ec)
        return false;
    const fs::path data = r.in->filter ? r.io / "in" : r.w / "f";
    if (!spit(data, r.in->bytes) || chmod(data.c_str(), r.in->mode) != 0)
        return false;
    if (r.in->xattr && setxattr(data.c_str(), "user.eolscrub2", "kept", 4, 0) != 0)
        return false;
    struct stat st {};
    if (stat(data.c_str(), &st) != 0)
        return false;
    r.ino = st.st_ino;

    // Everything the children need is made before the fork.
    std::vector<std::string> args = r.strace_args((r.io / "log").string());
    args.push_back(program);
    if (!r.in->filter)
        args.emplace_back("f");
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string in = r.in->filter ? (r.io / "in").string() : "/dev/null";
    const std::string out = (r.io / "out").string();
    const std::string err = (r.io / "err").string();
    const std::string cwd = r.w.string();

    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0)
        return false;
    pid_t pid = fork();
    if (pid < 0) {
        std::ignore = close(p[0]); // failing already
        std::ignore = close(p[1]);
        return false;
    }
    if (pid == 0) {
        // The runner: leader of a process group that a timeout kills
        // whole, and the reaper of the rm and mv that the program leaves
        // behind when it is killed while they run, so that they have
        // finished before the files are looked at.
        std::ignore = setpgid(0, 0); // the parent does it too
        if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0)
            _exit(97);
        pid_t child = fork();
        if (child < 0)
            _exit(97);
        if (child == 0) {
            int i = open(in.c_str(), O_RDONLY);
            int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (i < 0 || o < 0 || e < 0 || dup2(i, 0) < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0 ||
                chdir(cwd.c_str()) != 0)
                _exit(98);
            execvp(argv[0], argv.data());
            _exit(99);
        }
        int status = 0;
        while (waitpid(child, &status, 0) < 0) {
            if (errno != EINTR)
                _exit(97);
        }
        while (wait(nullptr) > 0 || errno == EINTR) {
        }
        if (write(p[1], &status, sizeof status) != static_cast<ssize_t>(sizeof status))
            _exit(97);
        _exit(0);
    }
    std::ignore = setpgid(pid, pid); // may have been done by the child
    std::ignore = close(p[1]);       // the runner holds the only writer
    r.pid = pid;
    r.pipe = p[0];
    r.deadline = std::chrono::steady_clock::now() + time_limit;
    return true;
}

// Collects the runner's report, or kills the whole run.
void finish(run& r, bool kill_it)
{
    if (kill_it) {
        r.timed_out = true;
        std::ignore = kill(-r.pid, SIGKILL); // the group may be gone already
    } else if (read(r.pipe, &r.status, sizeof r.status) != static_cast<ssize_t>(sizeof r.status)) {
        r.status = -1;
    }
    std::ignore = close(r.pipe); // read-only
    int st = 0;
    while (waitpid(r.pid, &st, 0) < 0 && errno == EINTR) {
    }
    if (kill_it) {
        // The runner is gone; whatever it started may linger a moment.
        std::ignore = kill(-r.pid, SIGKILL);
    }
}

std::string status_text(const run& r)
{
    if (r.timed_out)
        return "no end within 10 s";
    if (r.status == -1)
        return "lost (the runner failed)";
    if (WIFEXITED(r.status))
        return "exit " + std::to_string(WEXITSTATUS(r.status));
    if (WIFSIGNALED(r.status))
        return std::string("killed by SIG") + sigabbrev_np(WTERMSIG(r.status));
    return "status " + std::to_string(r.status);
}

// What a file holds, for a report: its size and whether it is the input or
// the converted text.
std::string held(const fs::path& p, const input& in)
{
    struct stat st {};
    if (lstat(p.c_str(), &st) != 0)
        return "nothing";
    std::string b = slurp(p);
    std::string s = std::to_string(b.size()) + " bytes";
    if (b == in.bytes && b == in.conv)
        return s + ", the original (already converted)";
    if (b == in.bytes)
        return s + ", the original";
    if (b == in.conv)
        return s + ", the converted text";
    return s + ", neither the original nor the converted text";
}

// The names that look like work files in a text.
std::vector<std::string> named_work_files(const std::string& s)
{
    std::vector<std::string> v;
    for (auto p = s.find(work_prefix); p != std::string::npos; p = s.find(work_prefix, p + 1)) {
        std::size_t e = p + work_prefix.size();
        while (e < s.size() && std::isalnum(static_cast<unsigned char>(s[e])))
            e++;
        if (e - p - work_prefix.size() == 6)
            v.push_back(s.substr(p, e - p));
    }
    return v;
}

struct message {
    enum kind { original, nothing, another, unknown, on_disk } what;
    std::string work; // empty when the message says the work file is gone
};

// The program's own lines on stderr that say what the path holds.
std::vector<message> messages(const std::string& err, const std::string& path)
{
    const std::string head = "eolscrub2: " + path + ": ";
    const std::string not_replaced = "not replaced; ";
    const std::string in = "; the converted text is in ";
    const std::string gone = "; the work file is gone";
    std::vector<message> v;
    for (const auto& l : lines_of(err)) {
        if (l.rfind(head, 0) != 0)
            continue;
        std::string rest = l.substr(head.size());
        if (rest.rfind("converted, but it may not be on disk: ", 0) == 0) {
            auto named = named_work_files(rest);
            v.push_back({message::on_disk, named.empty() ? std::string() : named[0]});
            continue;
        }
        if (rest.rfind("converted, but ", 0) == 0 &&
            rest.find(" could not be removed: ") != std::string::npos) {
            auto named = named_work_files(rest);
            v.push_back({message::on_disk, named.empty() ? std::string() : named[0]});
            continue;
        }
        if (rest.rfind(not_replaced, 0) != 0)
            continue;
        rest = rest.substr(not_replaced.size());
        message m{message::unknown, {}};
        std::string state;
        if (rest.rfind("what is there now is unknown (", 0) == 0) {
            auto e = rest.rfind(')');
            if (e == std::string::npos)
                continue;
            state = rest.substr(0, e + 1);
        } else {
            for (const char* s : {"the original is still there", "no file is there now",
                                  "another file is there now"}) {
                if (rest.rfind(s, 0) == 0)
                    state = s;
            }
            if (state.empty())
                continue;
            m.what = state[0] == 't'   ? message::original
                     : state[0] == 'n' ? message::nothing
                                       : message::another;
        }
        std::string tail = rest.substr(state.size());
        if (tail.rfind(in, 0) == 0 && tail.size() > in.size())
            m.work = tail.substr(in.size());
        else if (tail != gone)
            continue;
        v.push_back(m);
    }
    return v;
}

// The injected line in the run's own trace, or "" when nothing was injected.
std::string injected(const run& r)
{
    const std::string log = slurp(r.io / "log");
    for (const auto& l : lines_of(log)) {
        if (call_of(l) != r.call)
            continue;
        if (r.fault != "KILL" && l.find("(INJECTED)") != std::string::npos)
            return l;
        // A kill shows only as a call that never returned, and the end.
        if (r.fault == "KILL" && l.find("= ?") != std::string::npos && WIFSIGNALED(r.status) &&
            WTERMSIG(r.status) == SIGKILL &&
            log.find("+++ killed by SIGKILL +++") != std::string::npos)
            return l;
    }
    return {};
}

// The rule. Returns what broke it, empty when nothing did.
std::vector<std::string> judge(run& r)
{
    std::vector<std::string> why;
    const input& in = *r.in;
    const bool changes = in.bytes != in.conv;
    const fs::path path = r.w / "f";
    auto bytes_at = [](const fs::path& p) -> std::optional<std::string> {
        struct stat st {};
        if (lstat(p.c_str(), &st) != 0)
            return std::nullopt;
        return slurp(p);
    };
    const auto now = in.filter ? std::nullopt : bytes_at(path);
    struct stat st {};
    const bool there = !in.filter && lstat(path.c_str(), &st) == 0;

    std::vector<std::string> work;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(r.w, ec)) {
        std::string n = e.path().filename().string();
        if (n.rfind(work_prefix, 0) == 0)
            work.push_back(n);
        else if (in.filter || n != "f")
            why.push_back("a stray file appeared: " + n);
    }
    std::set<std::string> dir_names, io_names;
    for (const auto& e : fs::directory_iterator(r.dir, ec))
        dir_names.insert(e.path().filename().string());
    for (const auto& e : fs::directory_iterator(r.io, ec))
        io_names.insert(e.path().filename().string());
    if (dir_names != std::set<std::string>{"w", "io"})
        why.emplace_back("something appeared beside the scratch directory");
    std::set<std::string> io_expected = {"out", "err", "log"};
    if (in.filter)
        io_expected.insert("in");
    if (io_names != io_expected)
        why.emplace_back("something appeared among the run's streams");
    if (in.filter && slurp(r.io / "in") != in.bytes)
        why.emplace_back("stdin's file changed");

    const std::string out = slurp(r.io / "out");
    const std::string err = slurp(r.io / "err");
    for (const auto& n : named_work_files(out + err)) {
        if (!fs::exists(r.w / n))
            why.push_back("a message names " + n + ", which does not exist");
    }
    if (in.filter && !work.empty())
        why.emplace_back("a work file appeared in filter mode");
    if (!changes && !work.empty())
        why.emplace_back("a work file appeared for a file that needed no change");

    const bool original = there && now == in.bytes && st.st_ino == r.ino;
    auto holds_conv = [&](const std::string& n) { return bytes_at(r.w / n) == in.conv; };
    // A call the listing showed may not come in a rerun (mkostemp asks for
    // random bits only now and then): the run is then judged as one with
    // no fault, and not counted as an injection.
    const std::string inj = r.call.empty() ? std::string() : injected(r);
    r.missed = !r.call.empty() && inj.empty() && !r.timed_out && r.status != -1;

    if (r.timed_out) {
        why.emplace_back("took longer than 10 s");
    } else if (r.status == -1) {
        why.emplace_back("the run could not be started or waited for");
    } else if (WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0) {
        if (in.filter) {
            if (out != in.conv)
                why.emplace_back("stdout does not hold the converted text");
        } else {
            if (now != in.conv)
                why.emplace_back("status 0 but the path does not hold the converted text");
            if (!changes && st.st_ino != r.ino)
                why.emplace_back("a file that needed no change was replaced");
            if (there && (st.st_mode & 07777) != in.mode)
                why.emplace_back("the permission bits were not kept");
        }
        if (!work.empty())
            why.emplace_back("status 0 with a work file left");
        if (!inj.empty() && r.fault != "KILL" && loses_data(r.call, r.fault, first_fd(inj)))
            why.push_back("status 0 after " + r.call + " failed with " + r.fault);
    } else if (WIFSIGNALED(r.status) && WTERMSIG(r.status) == SIGKILL) {
        if (!in.filter) {
            if (now && *now != in.bytes && *now != in.conv)
                why.emplace_back("killed, and the path holds neither the original nor the "
                                 "converted text");
            if (!now && std::none_of(work.begin(), work.end(), holds_conv))
                why.emplace_back("killed, the path is gone and no work file holds the "
                                 "converted text");
        }
        // The work file may have a second name, the one mv is given.
        std::set<ino_t> texts;
        for (const auto& n : work) {
            struct stat ws {};
            if (lstat((r.w / n).c_str(), &ws) == 0)
                texts.insert(ws.st_ino);
        }
        if (texts.size() > 1)
            why.emplace_back("killed, and more than one work file is left");
    } else if (WIFEXITED(r.status) && WEXITSTATUS(r.status) == 3) {
        auto m = messages(err, "f");
        if (in.filter) {
            why.emplace_back("status 3 in filter mode");
        } else if (m.size() != 1) {
            why.push_back("status 3 with " + std::to_string(m.size()) +
                          " lines saying what the path holds");
        } else {
            const message& msg = m[0];
            switch (msg.what) {
            case message::original:
                if (now != in.bytes)
                    why.emplace_back("says the original is still there, and it is not");
                break;
            case message::nothing:
                if (now)
                    why.emplace_back("says no file is there, and there is one");
                break;
            case message::another:
                if (!now || original)
                    why.emplace_back("says another file is there, and it is not so");
                break;
            case message::unknown:
                if (msg.work.empty() || !holds_conv(msg.work))
                    why.emplace_back("says what is there is unknown, without a work file that "
                                     "holds the converted text");
                break;
            case message::on_disk:
                if (now != in.conv)
                    why.emplace_back("says converted, and the path does not hold the converted "
                                     "text");
                break;
            }
            {
                if (!msg.work.empty() && !holds_conv(msg.work))
                    why.push_back("the named work file " + msg.work +
                                  " does not hold the converted text");
                if (now != in.bytes && now != in.conv &&
                    (msg.work.empty() || !holds_conv(msg.work)))
                    why.emplace_back("the path holds neither text and no named work file does");
                for (const auto& n : work) {
                    if (n != msg.work)
                        why.push_back("a work file left besides the named one: " + n);
                }
            }
        }
    } else {
        // Status 1, 2 or anything else: nothing changed, nothing left.
        if (!in.filter) {
            if (!original)
                why.emplace_back("failed, and the path no longer holds the original, same inode");
            else if ((st.st_mode & 07777) != in.mode)
                why.emplace_back("failed, and the permission bits changed");
        }
        if (!work.empty())
            why.emplace_back("failed with a work file left");
        if (err.empty() && out != "file not found\n")
            why.emplace_back("failed without a message");
    }
    return why;
}

// A trace line without the padding strace puts before the result.
std::string squeezed(const std::string& s)
{
    std::string o;
    for (char c : s) {
        if (c != ' ' || o.empty() || o.back() != ' ')
            o += c;
    }
    return o;
}

// One line that reproduces a run and says what it left.
std::string report(const run& r, const std::vector<std::string>& why)
{
    std::ostringstream o;
    o << "BROKE [" << r.in->name;
    if (!r.call.empty())
        o << ", " << r.call << " #" << r.nth << " " << r.fault << ", at "
          << shown(squeezed(r.line), 50);
    o << "] " << status_text(r) << ": cd \"$(mktemp -d)\" && " << r.in->shell << " && ";
    for (const auto& a : r.strace_args("/dev/null")) {
        bool plain = a.find_first_of(" \"'$`\\|;&<>(){}*?") == std::string::npos;
        o << (plain ? a : "'" + a + "'") << " ";
    }
    o << program << (r.in->filter ? " < in > out" : " f") << "; echo $? -- ";
    if (r.in->filter) {
        o << "stdout: " << held(r.io / "out", *r.in);
    } else {
        struct stat st {};
        o << "f: " << held(r.w / "f", *r.in);
        if (lstat((r.w / "f").c_str(), &st) == 0)
            o << (st.st_ino == r.ino ? ", same inode" : ", new inode") << ", mode " << std::oct
              << (st.st_mode & 07777) << std::dec;
    }
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(r.w, ec)) {
        std::string n = e.path().filename().string();
        if (n != "f")
            o << "; " << n << ": " << held(e.path(), *r.in);
    }
    o << "; stdout " << shown(slurp(r.io / "out"), 80) << "; stderr " << shown(slurp(r.io / "err"));
    o << " -- broken:";
    for (const auto& w : why)
        o << " " << w << ";";
    if (keep)
        o << " (kept in " << r.dir.string() << ")";
    return o.str();
}

// The calls of one conversion after main's start, in order.
struct listing {
    std::map<std::string, int> before;                      // occurrences before main, by call
    std::vector<std::pair<std::string, std::string>> calls; // (call, line) after
    std::string mark;
};

std::optional<listing> list(const std::string& log)
{
    auto lines = lines_of(log);
    std::size_t at = 0;
    while (at < lines.size() && lines[at].rfind(first_call, 0) != 0)
        at++;
    if (at == lines.size())
        return std::nullopt;
    listing l;
    l.mark = lines[at];
    for (std::size_t i = 0; i < lines.size(); i++) {
        std::string c = call_of(lines[i]);
        if (c.empty())
            continue;
        if (i < at)
            l.before[c]++;
        else
            l.calls.emplace_back(c, lines[i]);
    }
    return l;
}

// The occurrences to hit: all of them, or, for a call made many times (the
// reads and writes of a large file), the first three and the last three.
std::vector<int> occurrences(int n)
{
    std::vector<int> v;
    for (int k = 1; k <= n; k++) {
        if (n <= 100 || k <= 3 || k > n - 3)
            v.push_back(k);
    }
    return v;
}

bool on_path(const std::string& name)
{
    const char* p = std::getenv("PATH");
    std::istringstream dirs(p ? p : "/usr/bin:/bin");
    for (std::string d; std::getline(dirs, d, ':');) {
        if (!d.empty() && access((fs::path(d) / name).c_str(), X_OK) == 0)
            return true;
    }
    return false;
}

// Runs everything in the queue, two at a time; returns the number of runs
// that broke the rule.
int drive(std::vector<run>& queue, int& serial, int& missed)
{
    int broke = 0;
    std::size_t next = 0;
    std::vector<run*> live;
    while (next < queue.size() || !live.empty()) {
        while (live.size() < parallel && next < queue.size()) {
            run& r = queue[next++];
            if (!start(r, serial++)) {
                std::cout << "faults: cannot start a run in " << r.dir.string() << ": "
                          << std::strerror(errno) << "\n";
                r.status = -1;
                broke++;
                continue;
            }
            live.push_back(&r);
        }
        if (live.empty())
            continue;
        std::vector<pollfd> fds;
        auto soonest = live[0]->deadline;
        for (run* r : live) {
            fds.push_back({r->pipe, POLLIN, 0});
            soonest = std::min(soonest, r->deadline);
        }
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
            soonest - std::chrono::steady_clock::now());
        int n = poll(fds.data(), fds.size(), static_cast<int>(std::max<long>(wait.count(), 0)));
        if (n < 0 && errno != EINTR) {
            std::cout << "faults: poll: " << std::strerror(errno) << "\n";
            std::exit(1);
        }
        auto now = std::chrono::steady_clock::now();
        for (std::size_t i = live.size(); i-- > 0;) {
            run& r = *live[i];
            bool ready = n > 0 && (fds[i].revents & (POLLIN | POLLHUP)) != 0;
            if (!ready && now < r.deadline)
                continue;
            finish(r, !ready);
            live.erase(live.begin() + static_cast<std::ptrdiff_t>(i));
            auto why = judge(r);
            if (r.call.empty())
                r.log = slurp(r.io / "log");
            // Nothing may appear beside the runs' own directories.
            std::error_code ec;
            for (const auto& e : fs::directory_iterator(top, ec)) {
                std::string name = e.path().filename().string();
                bool ours = name == r.dir.filename().string() || kept.count(name) ||
                            std::any_of(live.begin(), live.end(), [&](const run* o) {
                                return o->dir.filename().string() == name;
                            });
                if (!ours)
                    why.push_back("something appeared beside the scratch directories: " + name);
            }
            if (r.missed) {
                missed++;
                std::cout << "faults: not injected (the call did not come): [" << r.in->name << ", "
                          << r.call << " #" << r.nth << " " << r.fault << "]\n";
            }
            if (!why.empty()) {
                broke++;
                std::cout << report(r, why) << std::endl;
            }
            if (why.empty() || !keep)
                fs::remove_all(r.dir, ec);
            else
                kept.insert(r.dir.filename().string());
        }
    }
    return broke;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::cerr << "usage: faults PATH-TO-EOLSCRUB2\n";
        return 2;
    }
    if (!on_path("strace")) {
        std::cout << "faults: SKIPPED, strace is not installed (apt-get install strace); "
                     "no fault was injected\n";
        return 77;
    }
    std::error_code ec;
    program = fs::absolute(argv[1], ec).string();
    if (ec || access(program.c_str(), X_OK) != 0) {
        std::cerr << "faults: " << argv[1] << ": not an executable\n";
        return 2;
    }
    const char* k = std::getenv("FAULTS_KEEP");
    keep = k != nullptr && *k != '\0' && std::string(k) != "0";
    // Messages in English, as the rule reads them.
    setenv("LC_ALL", "C", 1);

    std::string t = (fs::temp_directory_path() / "eolscrub2-faults.XXXXXX").string();
    if (mkdtemp(t.data()) == nullptr) {
        std::cerr << "faults: cannot make a scratch directory: " << std::strerror(errno) << "\n";
        return 1;
    }
    top = t;
    const auto began = std::chrono::steady_clock::now();

    const auto all = inputs();
    int serial = 0;
    int broke = 0;
    int missed = 0;
    std::size_t total = 0;
    std::map<std::string, std::set<std::string>> covered; // call -> faults
    for (const auto& in : all) {
        // The listing run, which must itself keep the rule.
        std::vector<run> first(1);
        first[0].in = &in;
        if (drive(first, serial, missed) != 0) {
            std::cout << "faults: the " << in.name << " input breaks the rule with no fault\n";
            broke++;
            total++;
            continue;
        }
        const std::string& log = first[0].log;
        auto calls = list(log);
        if (!calls) {
            std::cout << "faults: the " << in.name
                      << " input: no line in the trace marks main's start; looked for "
                      << shown(first_call) << "\n";
            return 1;
        }

        std::map<std::string, int> seen;
        std::map<std::string, int> count;
        std::map<int, int> writes; // by descriptor
        for (const auto& [call, line] : calls->calls) {
            count[call]++;
            if (call == "write")
                writes[first_fd(line)]++;
        }
        std::vector<run> queue;
        for (const auto& [call, line] : calls->calls) {
            int nth = ++seen[call];
            auto wanted = occurrences(count[call]);
            if (std::find(wanted.begin(), wanted.end(), nth) == wanted.end())
                continue;
            std::vector<std::string> faults = faults_of(call);
            faults.emplace_back("KILL");
            for (const auto& f : faults) {
                run r;
                r.in = &in;
                r.call = call;
                r.nth = nth;
                r.when = calls->before[call] + nth;
                r.fault = f;
                r.line = line;
                queue.push_back(r);
                covered[call].insert(f);
            }
        }
        std::cout << "faults: " << in.name << ": " << calls->calls.size()
                  << " calls after main's start (" << shown(calls->mark, 60) << "), "
                  << queue.size() << " injections\n ";
        for (const auto& [call, n] : count) {
            std::cout << " " << call << " x" << n;
            if (call == "write") {
                const char* sep = " (";
                for (const auto& [fd, m] : writes) {
                    std::cout << sep << "fd " << fd << " x" << m;
                    sep = ", ";
                }
                std::cout << ")";
            }
        }
        std::cout << std::endl;
        total += queue.size();
        broke += drive(queue, serial, missed);
    }

    if (kept.empty())
        fs::remove_all(top, ec);
    std::cout << "faults: calls covered:";
    for (const auto& [call, faults] : covered) {
        std::cout << " " << call << " (";
        const char* sep = "";
        for (const auto& f : faults) {
            std::cout << sep << f;
            sep = " ";
        }
        std::cout << ")";
    }
    auto secs = std::chrono::duration_cast<std::chrono::duration<double>>(
                    std::chrono::steady_clock::now() - began)
                    .count();
    std::cout << "\nfaults: " << secs << " s\n";
    total -= static_cast<std::size_t>(missed);
    // A few calls come only now and then; many missed injections mean the
    // listing does not describe the runs, and the result would mean little.
    bool drifted = static_cast<std::size_t>(missed) * 20 > total;
    if (drifted)
        std::cout << "faults: " << missed << " planned injections did not happen: the runs do not "
                  << "follow the listing\n";
    std::cout << total << " injections, " << broke << " broke the rule" << std::endl;
    return broke == 0 && !drifted ? 0 : 1;
}
