// SPDX-License-Identifier: ISC
// Fault injection: every way a run can end before its time, against one
// rule. A first run of each input under strace lists the calls that the
// program's own process makes once main has started; then, in three modes:
//
//   errors   each call fails at each occurrence, with each error it can
//            plausibly return, or the process is killed there (SIGKILL);
//   signals  each signal the program catches comes at each occurrence of
//            each call;
//   power    the current directory and the file lie on file systems in
//            images on loop devices; the run is held after each call that
//            can change a disk, and the images are copied as a power cut
//            would leave them: as they stand, once another program has
//            synced a file of its own on each, and after sync.
//
// Every run, and every copy, is judged by one table of what may be left,
// by how the run ended. Usage:
//
//   faults PATH-TO-EOLSCRUB2 [errors] [signals] [power]    (default: all)
//
// FAULTS_KEEP=1 keeps the scratch directories of runs that broke the rule.
// Without strace it skips (status 77); the power mode needs root, loop
// devices, e2fsprogs, xfsprogs and btrfs-progs.

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
#include <vector>

#include <fcntl.h>
#include <linux/btrfs.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace fs = std::filesystem;
using eolscrub2::test::reference;
using eolscrub2::test::slurp;

namespace {

std::string program;
fs::path top;
bool keep = false;
int serial = 0; // of the runs' scratch directories
int broke = 0, missed = 0, cuts = 0, lost = 0;
const auto began = std::chrono::steady_clock::now();
volatile std::sig_atomic_t interrupted = 0; // SIGINT or SIGTERM: clean up and stop

std::vector<std::string> lines_of(const std::string& s)
{
    std::vector<std::string> v;
    std::istringstream in(s);
    for (std::string l; std::getline(in, l);)
        v.push_back(l);
    return v;
}

// The counts so far, for the lines that show a long run going on (which
// ctest shows only with -V).
std::string so_far()
{
    const auto s = std::chrono::steady_clock::now() - began;
    const std::string cut =
        ", " + std::to_string(lost) + " of " + std::to_string(cuts) + " power cuts lost data";
    return std::to_string(broke) + " broke the rule" + (cuts > 0 ? cut : "") + " so far, " +
           std::to_string(std::chrono::duration_cast<std::chrono::seconds>(s).count()) + " s";
}

// ---- Inputs ----

struct input {
    std::string name, bytes;
    mode_t mode = 0644;
    bool filter = false; // fed on stdin, with no path
    bool xattr = false;  // carries user.eolscrub2, which must be kept
    std::string shell;   // how to make it by hand, for the reproducing line
    std::string conv{};  // what the conversion makes of it
};

std::vector<input> inputs()
{
    // Lines cut mid-line, with no final LF: the last 512 KiB block is partial
    // and the conversion adds the LF. More than 8 MiB come out, so that the
    // work file's early write-back is asked for once.
    auto text = [](const std::string& line, std::size_t size) {
        std::string t;
        while (t.size() < size)
            t += line + "\r\n";
        t.resize(size);
        return std::pair{t, "yes \"$(printf '" + line + "\\r')\" | head -c " +
                                std::to_string(size) + " > "};
    };
    auto [large, make_large] = text("a line of text", 9737779);
    auto [blocks, make_blocks] = text("a line of a few blocks", 3 * 4096 + 100);
    const std::string xattr = " && setfattr -n user.eolscrub2 -v kept f";
    std::vector<input> v = {
        {"small", "one\r\ntwo\r\n\x1a", 0640, false, true,
         "printf 'one\\r\\ntwo\\r\\n\\032' > f && chmod 640 f" + xattr},
        {"large", large, 0644, false, false, make_large + "f"},
        {"converted", "one\ntwo\n", 0600, false, false, "printf 'one\\ntwo\\n' > f && chmod 600 f"},
        {"filter", large, 0644, true, false, make_large + "in"},
        {"blocks", blocks, 0644, false, true, make_blocks + "f" + xattr},
    };
    for (auto& i : v)
        i.conv = reference(i.bytes);
    return v;
}

// ---- What a run left, and the rule ----

// How a run ended, by the letter the rule uses for it: status 0, 1 or 3;
// killed (SIGKILL, or a fault the kernel raises, which cannot wait);
// ended by a signal it caught; anything else; and a power cut's copy.
enum ending : char {
    done = 'D',
    failed = 'F',
    unfinished = 'U',
    killed = 'K',
    signaled = 'S',
    other = 'O',
    power_cut = 'P'
};

// The files a run left.
struct scene {
    std::optional<std::string> name; // the bytes under the file's name
    bool same_inode = false;         // the input's own inode still
    mode_t mode = 0;
    std::string xattr;                       // its user.eolscrub2
    std::map<std::string, std::string> work; // work files in the current directory
    std::map<std::string, ino_t> inode;      // which file each is
    std::vector<std::string> strays;         // anything else that appeared
    std::string out, err;
};

std::optional<std::string> bytes_at(const fs::path& p)
{
    struct stat st {};
    if (lstat(p.c_str(), &st) != 0)
        return std::nullopt;
    return S_ISREG(st.st_mode) ? slurp(p) : "(not a regular file)";
}

scene look(const fs::path& cwd, const fs::path& file, ino_t ino)
{
    scene s;
    struct stat st {};
    if (lstat(file.c_str(), &st) == 0) {
        s.name = bytes_at(file);
        s.same_inode = st.st_ino == ino;
        s.mode = st.st_mode & 07777;
        char v[16] = {};
        ssize_t n = lgetxattr(file.c_str(), "user.eolscrub2", v, sizeof v);
        s.xattr.assign(v, n < 0 ? 0 : static_cast<std::size_t>(n));
    }
    std::error_code ec;
    std::set<fs::path> dirs = {cwd, file.parent_path()};
    for (const fs::path& d : dirs) {
        for (const auto& e : fs::directory_iterator(d, ec)) {
            std::string n = e.path().filename().string();
            if (n.rfind("eolscrub.tmp.", 0) == 0 && d == cwd) {
                s.work[n] = *bytes_at(e.path());
                s.inode[n] = lstat(e.path().c_str(), &st) == 0 ? st.st_ino : 0;
            } else if (e.path() != file) {
                s.strays.push_back(e.path().string());
            }
        }
    }
    return s;
}

// What the rule knows of a run or a copy, worked out once.
struct facts {
    bool filter, original, converted, either, kept, said_kept, in_work, whole, one_text;
    bool unchanged_input, same_inode, no_work, nothing_there, message, no_strays;
    bool lost_write = false; // an error that loses data if ignored was injected
    bool at_exit = false;    // a copy made once the run had reached exit_group
    int status = 0;          // the run's, for a copy
    int lines = 0;           // the program's lines that say what the name holds
    bool line_true = true;   // and what the one says is so
    bool all_named = true;   // every work file is one a line names
    bool names_real = true;  // every work file a line names is there

    facts(const input& in, const scene& s)
        : filter(in.filter), original(s.name == in.bytes && s.same_inode && s.mode == in.mode),
          converted(s.name == in.conv), either(in.filter || s.name == in.bytes || converted),
          kept(s.mode == in.mode && (!in.xattr || s.xattr == "kept")),
          said_kept(s.mode == in.mode &&
                    s.err.find(": its attribute user.eolscrub2 could not be kept: ") !=
                        std::string::npos),
          in_work(false), whole(true), one_text(true), unchanged_input(in.bytes == in.conv),
          same_inode(s.same_inode), no_work(s.work.empty()), nothing_there(!s.name),
          message(!s.err.empty() || s.out == "file not found\n"), no_strays(s.strays.empty())
    {
        std::set<ino_t> texts;
        for (const auto& [n, b] : s.work) {
            in_work = in_work || b == in.conv;
            whole = whole && b == in.conv;
            texts.insert(s.inode.at(n));
        }
        one_text = texts.size() <= 1;
        // The status-3 lines: what each says the name holds, and the work
        // file it names.
        std::set<ino_t> named;
        for (const auto& l : lines_of(s.err)) {
            const std::string head = "eolscrub2: f: ";
            if (l.rfind(head, 0) != 0)
                continue;
            std::string rest = l.substr(head.size());
            for (const char* says :
                 {"; the converted text is in ", "; the converted text is also in "}) {
                if (auto p = rest.find(says); p != std::string::npos) {
                    std::string w = rest.substr(p + std::strlen(says));
                    names_real = names_real && s.work.count(w);
                    if (s.work.count(w))
                        named.insert(s.inode.at(w));
                }
            }
            const std::pair<const char*, bool> kinds[] = {
                {"converted, but ", converted},
                {"not replaced; the original is still there", original},
                {"not replaced; no file is there now", nothing_there},
                {"not replaced; another file is there now", s.name && !original},
                {"not replaced; what is there now is unknown", true},
            };
            for (const auto& [says, so] : kinds) {
                if (rest.rfind(says, 0) == 0) {
                    lines++;
                    line_true = line_true && so;
                }
            }
        }
        for (const auto& w : s.inode)
            all_named = all_named && named.count(w.second);
    }
};

// The outcomes allowed: each row must hold for the endings it lists.
const struct rule {
    const char* endings;
    const char* broken; // what it means when the row does not hold
    bool (*holds)(const facts&);
} rules[] = {
    {"DFUKSOP", "something appeared beside the file and its work files",
     [](const facts& f) { return f.no_strays; }},
    {"DFUKSO", "a message names a work file that is not there",
     [](const facts& f) { return f.names_real; }},
    {"D", "status 0, and the converted text is not under the name (or on stdout)",
     [](const facts& f) { return f.filter || f.converted; }},
    {"D", "status 0, and the mode or an attribute was not kept, and no line says so",
     [](const facts& f) { return f.filter || f.kept || f.said_kept; }},
    {"D", "status 0 with a work file left", [](const facts& f) { return f.no_work; }},
    {"D", "status 0 after a failed write, sync or read",
     [](const facts& f) { return !f.lost_write; }},
    {"D", "a file that needed no change was replaced",
     [](const facts& f) { return f.filter || !f.unchanged_input || f.same_inode; }},
    {"FO", "failed, and the name no longer holds the original, same inode and mode",
     [](const facts& f) { return f.filter || f.original; }},
    {"FO", "failed with a work file left", [](const facts& f) { return f.no_work; }},
    {"FO", "failed without a message", [](const facts& f) { return f.message; }},
    {"U", "status 3 without exactly one line saying what the name holds",
     [](const facts& f) { return !f.filter && f.lines == 1; }},
    {"U", "status 3, and the line says the name holds what it does not",
     [](const facts& f) { return f.line_true; }},
    {"US", "a work file is left that no line names, or that is incomplete",
     [](const facts& f) { return f.whole && f.all_named; }},
    {"UKSP", "neither the name nor a work file holds the original or the converted text",
     [](const facts& f) { return f.either || f.in_work; }},
    {"S", "ended by a signal, and the name holds neither text",
     [](const facts& f) { return f.either; }},
    {"K",
     "killed, and work files hold more than one text, or an incomplete one while the "
     "original is gone",
     [](const facts& f) { return f.one_text && (f.whole || f.filter || f.original); }},
    {"P",
     "the run had reached exit_group with status 0, and the converted text is not "
     "under the name",
     [](const facts& f) { return !f.at_exit || f.status != 0 || f.converted; }},
};

std::vector<std::string> judge(ending how, const facts& f)
{
    std::vector<std::string> why;
    for (const rule& r : rules) {
        if (std::strchr(r.endings, how) && !r.holds(f))
            why.emplace_back(r.broken);
    }
    return why;
}

// ---- Runs ----

std::string signal_name(int sig)
{
    if (sig >= SIGRTMIN && sig <= SIGRTMAX)
        return "SIGRTMIN+" + std::to_string(sig - SIGRTMIN);
    const char* n = sigabbrev_np(sig);
    return n ? std::string("SIG") + n : std::to_string(sig);
}

// One run of the program under strace, in cwd with its file at `file`,
// its streams and trace in io.
struct run {
    const input* in = nullptr;
    std::string call;    // empty for the listing run
    int nth = 0;         // the occurrence after main's start, from 1
    int when = 0;        // the same occurrence counted from the process start
    std::string fault;   // an errno's name, a signal's number, KILL or STOP
    std::string line;    // the call as the listing showed it
    std::string where{}; // the power mode's scenario
    fs::path dir{}, cwd{}, file{}, io{};
    ino_t ino = 0;
    pid_t runner = -1; // leader of the run's process group
    pid_t pid = -1;    // the program
    int pipe = -1;     // the runner's report: the program's pid, then its status
    std::chrono::steady_clock::time_point deadline{};
    int status = -1;
    bool timed_out = false;
    std::string log{}; // the listing run's trace, kept once its directory is gone

    bool signal() const { return std::isdigit(static_cast<unsigned char>(fault[0])) != 0; }

    std::vector<std::string> strace_args(const std::string& to) const
    {
        std::vector<std::string> a = {"strace", "-D", "-qq", "-o", to};
        // A stop at exit_group would come too late: the call is failed, so
        // that the C library's _exit calls exit, with the same status.
        std::string how = fault == "STOP" && call == "exit_group" ? "error=ENOSYS:signal=STOP"
                          : fault == "STOP" || fault == "KILL" || signal() ? "signal=" + fault
                                                                           : "error=" + fault;
        if (!call.empty())
            a.insert(a.end(), {"-e", "trace=" + call, "-e",
                               "inject=" + call + ":" + how + ":when=" + std::to_string(when)});
        return a;
    }

    ending how() const
    {
        if (timed_out || status == -1)
            return other;
        if (WIFEXITED(status)) {
            int code = WEXITSTATUS(status);
            return code == 0 ? done : code == 1 ? failed : code == 3 ? unfinished : other;
        }
        int sig = WTERMSIG(status);
        bool fault = sig == SIGSEGV || sig == SIGBUS || sig == SIGILL || sig == SIGFPE ||
                     sig == SIGTRAP || sig == SIGSYS;
        return sig == SIGKILL || fault ? killed : signaled;
    }
};

// Writes the input where the run reads it, and starts the run: a runner,
// leader of a process group, reaps all that the program leaves behind (an
// rm or mv still running when it was killed) before it reports, so that
// the files are looked at only once nothing writes them. False if it
// could not start.
bool start(run& r)
{
    std::error_code ec;
    for (const fs::path& d : {r.cwd, r.file.parent_path(), r.io})
        fs::create_directories(d, ec);
    const fs::path data = r.in->filter ? r.io / "in" : r.file;
    std::ofstream(data, std::ios::binary) << r.in->bytes;
    struct stat st {};
    if (chmod(data.c_str(), r.in->mode) != 0 || stat(data.c_str(), &st) != 0 ||
        (r.in->xattr && setxattr(data.c_str(), "user.eolscrub2", "kept", 4, 0) != 0))
        return false;
    r.ino = st.st_ino;

    std::vector<std::string> args = r.strace_args((r.io / "log").string());
    args.push_back(program);
    if (!r.in->filter)
        args.push_back(r.file.parent_path() == r.cwd ? "f" : r.file.string());
    std::vector<char*> argv(args.size() + 1, nullptr);
    std::transform(args.begin(), args.end(), argv.begin(), [](std::string& a) { return a.data(); });
    const std::string in = r.in->filter ? (r.io / "in").string() : "/dev/null";
    const std::string out = (r.io / "out").string();
    const std::string err = (r.io / "err").string();
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0 || (r.runner = fork()) < 0)
        return false;
    if (r.runner == 0) {
        std::ignore = setpgid(0, 0); // the parent does it too
        pid_t child = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0 ? fork() : -1;
        if (child == 0) {
            int i = open(in.c_str(), O_RDONLY);
            int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (i >= 0 && o >= 0 && e >= 0 && dup2(i, 0) == 0 && dup2(o, 1) == 1 &&
                dup2(e, 2) == 2 && chdir(r.cwd.c_str()) == 0)
                execvp(argv[0], argv.data());
            _exit(99);
        }
        int status = -1;
        if (child < 0 || write(p[1], &child, sizeof child) != sizeof child)
            _exit(97);
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        while (wait(nullptr) > 0 || errno == EINTR) {
        }
        _exit(write(p[1], &status, sizeof status) == sizeof status ? 0 : 97);
    }
    std::ignore = setpgid(r.runner, r.runner); // may have been done by the child
    std::ignore = close(p[1]);                 // the runner holds the only writer
    r.pipe = p[0];
    r.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    return read(r.pipe, &r.pid, sizeof r.pid) == sizeof r.pid;
}

// Collects the runner's report, or kills the whole run.
void finish(run& r, bool kill_it)
{
    r.timed_out = kill_it;
    if (kill_it || read(r.pipe, &r.status, sizeof r.status) != sizeof r.status)
        std::ignore = kill(-r.runner, SIGKILL); // the group may be gone already
    std::ignore = close(r.pipe);                // read-only
    while (waitpid(r.runner, nullptr, 0) < 0 && errno == EINTR) {
    }
    std::ignore = kill(-r.runner, SIGKILL); // whatever it started may linger
}

// Whether the run reached the call at which the fault was to come: the
// trace, which shows only that call, shows it that often. (A signal the
// run ignores at that moment leaves no other mark.)
bool reached(const run& r)
{
    int n = 0;
    for (const auto& l : lines_of(slurp(r.io / "log")))
        n += l.rfind(r.call + "(", 0) == 0 ? 1 : 0;
    return n >= r.when;
}

// Quoted for a report line: printable, on one line, not too long.
std::string shown(const std::string& s, std::size_t max = 300)
{
    std::string o = "\"";
    for (std::size_t i = 0; i < s.size() && i < max; i++) {
        auto c = static_cast<unsigned char>(s[i]);
        const char* hex = "0123456789abcdef";
        o += c == '\n'               ? std::string("\\n")
             : c == '\r'             ? std::string("\\r")
             : c == '"' || c == '\\' ? std::string("\\") + static_cast<char>(c)
             : c < 0x20 || c >= 0x7f ? std::string("\\x") + hex[c >> 4] + hex[c & 15]
                                     : std::string(1, static_cast<char>(c));
    }
    return o + (s.size() > max ? "...\"" : "\"");
}

// One line that reproduces a run, and says what it, or a copy, left.
std::string report(const char* tag, const run& r, const scene& s, const std::string& copy,
                   const std::vector<std::string>& why)
{
    std::ostringstream o;
    auto held = [&](const std::optional<std::string>& b) {
        return !b ? std::string("nothing")
                  : std::to_string(b->size()) + " bytes, " +
                        (*b == r.in->bytes  ? "the original"
                         : *b == r.in->conv ? "the converted text"
                                            : "neither text");
    };
    o << tag << " [" << r.in->name << (r.where.empty() ? "" : ", " + r.where);
    if (!r.call.empty())
        o << ", " << r.call << " #" << r.nth << " "
          << (r.signal() ? signal_name(std::stoi(r.fault)) : r.fault) << ", at "
          << shown(r.line.substr(0, r.line.find(" = ")), 50);
    o << "] "
      << (!copy.empty()         ? "held there"
          : r.timed_out         ? "no end within 10 s"
          : r.status == -1      ? "lost (the runner failed)"
          : WIFEXITED(r.status) ? "exit " + std::to_string(WEXITSTATUS(r.status))
                                : "killed by " + signal_name(WTERMSIG(r.status)))
      << copy << ": cd \"$(mktemp -d)\" && " << r.in->shell << " && ";
    for (const auto& a : r.strace_args("/dev/null"))
        o << (a.find_first_of(" \"'$`\\|;&<>(){}*?") == std::string::npos ? a : "'" + a + "'")
          << " ";
    o << program
      << (r.in->filter ? " < in > out; echo $? -- stdout: " + held(s.out)
                       : " f; echo $? -- f: " + held(s.name));
    if (!r.in->filter)
        o << (s.same_inode ? ", same inode" : ", new inode") << ", mode " << std::oct << s.mode
          << std::dec;
    for (const auto& [n, b] : s.work)
        o << "; " << n << ": " << held(b);
    o << "; stderr " << shown(s.err) << " -- broken:";
    for (const auto& w : why)
        o << " " << w << ";";
    return o.str() + (keep ? " (kept in " + r.dir.string() + ")" : "");
}

// ---- The listing ----

struct listing {
    std::map<std::string, int> before;                      // calls before main, by name
    std::vector<std::pair<std::string, std::string>> calls; // (call, line) after
    std::set<int> caught;                                   // signals given a handler
};

std::optional<listing> list(const std::string& log)
{
    // main's first call resets SIGCHLD; before it is the C runtime's.
    const std::string first = "rt_sigaction(SIGCHLD, {sa_handler=SIG_DFL";
    auto lines = lines_of(log);
    auto at = std::find_if(lines.begin(), lines.end(),
                           [&](const std::string& l) { return l.rfind(first, 0) == 0; });
    if (at == lines.end())
        return std::nullopt;
    listing l;
    for (auto i = lines.begin(); i != lines.end(); ++i) {
        auto p = i->find('(');
        if (p == std::string::npos || p == 0 || (*i)[0] == '-' || (*i)[0] == '+')
            continue; // a signal or the end
        std::string c = i->substr(0, p);
        if (i < at) {
            l.before[c]++;
            continue;
        }
        l.calls.emplace_back(c, *i);
        // strace names a signal SIGHUP, or SIGRT_3 for real-time 32 + 3.
        std::string sig = i->substr(p + 1, i->find(',') - p - 1);
        if (c == "rt_sigaction" && i->find(", {sa_handler=0x") != std::string::npos) {
            for (int n = 1; n < 32; n++) {
                if (sigabbrev_np(n) && sig == std::string("SIG") + sigabbrev_np(n))
                    l.caught.insert(n);
            }
            if (sig.rfind("SIGRT_", 0) == 0)
                l.caught.insert(32 + std::stoi(sig.substr(6)));
        }
    }
    return l;
}

// The calls to hit, as (index, occurrence): of a run of identical calls
// (the start's rt_sigaction), the first and the last; of a call made more
// than 100 times (a large file's reads), the first three and last three.
std::vector<std::pair<std::size_t, int>> targets(const listing& l)
{
    std::map<std::string, int> count;
    std::map<std::string, int> seen;
    for (const auto& c : l.calls)
        count[c.first]++;
    std::vector<std::pair<std::size_t, int>> v;
    for (std::size_t i = 0; i < l.calls.size(); i++) {
        const std::string& c = l.calls[i].first;
        int nth = ++seen[c];
        bool inside = i > 0 && i + 1 < l.calls.size() && l.calls[i - 1].first == c &&
                      l.calls[i + 1].first == c;
        if (!inside && (count[c] <= 100 || nth <= 3 || nth > count[c] - 3))
            v.emplace_back(i, nth);
    }
    return v;
}

// ---- The errors and signals modes ----

// The errors each call is given besides SIGKILL. EOPNOTSUPP is ENOTSUP.
std::vector<std::string> errors_of(const std::string& call)
{
    static const std::vector<std::string> xattr = {"EOPNOTSUPP", "EPERM", "ENOSPC"};
    static const std::map<std::string, std::vector<std::string>> m = {
        {"read", {"EIO", "EINTR"}},
        {"write", {"ENOSPC", "EIO", "EDQUOT", "EFBIG", "EINTR"}},
        {"fsync", {"EIO", "ENOSPC"}},
        {"openat", {"EACCES", "ENOSPC", "EMFILE"}},
        {"fcntl", {"EINVAL", "EAGAIN"}},
        {"fchown", {"EPERM", "EDQUOT"}},
        {"fchmod", {"EPERM", "EIO"}},
        // Not EOPNOTSUPP: a file system without attributes has none to list.
        {"flistxattr", {"EPERM", "ENOSPC"}},
        {"fgetxattr", xattr},
        {"fsetxattr", xattr},
        {"fremovexattr", xattr},
        {"linkat", {"EEXIST", "EPERM", "ENOSPC"}},
        {"clone3", {"EAGAIN", "ENOMEM"}},
        {"wait4", {"ECHILD", "EINTR"}},
        {"getcwd", {"ENOENT"}},
        {"mmap", {"ENOMEM"}},
    };
    // No error is sensible for these: the kernel does not fail them for a
    // correct program, or the C library cannot survive it (a failed brk
    // corrupts malloc's idea of the heap). Any other call gets EIO.
    static const std::set<std::string> none = {
        "brk",          "munmap",     "mprotect",  "madvise", "rt_sigaction", "rt_sigprocmask",
        "rt_sigreturn", "exit_group", "getrandom", "futex",   "geteuid"};
    if (auto it = m.find(call); it != m.end())
        return it->second;
    return none.count(call) ? std::vector<std::string>{} : std::vector<std::string>{"EIO"};
}

// Whether an error in this call, ignored, loses data: a failed write to a
// file or stdout (fd 2 carries only messages; EINTR asks for a retry), a
// failed sync, a failed read.
bool loses_data(const run& r)
{
    if (r.call == "write")
        return r.line.rfind("write(2,", 0) != 0 && r.fault != "EINTR";
    return r.call == "fsync" || (r.call == "read" && r.fault == "EIO");
}

// Judges a finished run of the errors or signals mode; prints what broke.
void settle(run& r)
{
    scene s = look(r.cwd, r.file, r.ino);
    s.out = slurp(r.io / "out");
    s.err = slurp(r.io / "err");
    const bool came = r.call.empty() || reached(r);
    missed += came ? 0 : 1;
    facts f(*r.in, s);
    f.lost_write = came && !r.call.empty() && r.fault != "KILL" && !r.signal() && loses_data(r);
    auto why = judge(r.how(), f);
    if (r.timed_out)
        why.emplace_back("took longer than 10 s");
    if (!why.empty()) {
        broke++;
        std::cout << report("BROKE", r, s, "", why) << std::endl;
    }
    r.log = r.call.empty() ? slurp(r.io / "log") : "";
    std::error_code ec;
    if (why.empty() || !keep)
        fs::remove_all(r.dir, ec);
}

// Runs the queue two at a time, saying every half minute how far it is.
void drive(std::vector<run>& queue, const std::string& what = {})
{
    std::vector<run*> live;
    auto say = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (std::size_t next = 0; (next < queue.size() || !live.empty()) && !interrupted;) {
        if (!what.empty() && std::chrono::steady_clock::now() > say) {
            std::cout << "faults: " << what << ": " << next - live.size() << " of " << queue.size()
                      << " runs; " << so_far() << std::endl;
            say += std::chrono::seconds(30);
        }
        while (live.size() < 2 && next < queue.size()) {
            run& r = queue[next++];
            r.dir = top / std::to_string(serial++);
            r.cwd = r.dir / "w";
            r.file = r.cwd / "f";
            r.io = r.dir / "io";
            if (start(r)) {
                live.push_back(&r);
            } else {
                std::cout << "faults: cannot start a run in " << r.dir.string() << "\n";
                broke++;
            }
        }
        std::vector<pollfd> fds(live.size());
        for (std::size_t i = 0; i < live.size(); i++)
            fds[i] = {live[i]->pipe, POLLIN, 0};
        std::ignore = poll(fds.data(), fds.size(), 100); // interrupted: looked at below
        for (std::size_t i = live.size(); i-- > 0;) {
            bool ready = (fds[i].revents & (POLLIN | POLLHUP)) != 0;
            if (ready || std::chrono::steady_clock::now() > live[i]->deadline) {
                finish(*live[i], !ready);
                settle(*live[i]);
                live.erase(live.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
    }
}

// The errors mode, or the signals mode: a listing run of each input, which
// must itself keep the rule, then a run for each target and fault.
std::size_t inject(const std::vector<input>& all, bool signals)
{
    std::size_t total = 0;
    for (const auto& in : all) {
        // The large input's further calls are reads and writes, which a
        // signal meets alike; the blocks are the power mode's.
        if ((signals && in.name == "large") || in.name == "blocks")
            continue;
        std::vector<run> queue(1);
        queue[0].in = &in;
        int before = broke;
        drive(queue);
        auto l = list(queue[0].log);
        if (broke != before || !l) {
            std::cout << "faults: " << in.name << ": the run with no fault "
                      << (l ? "breaks the rule" : "has no line that marks main's start") << "\n";
            broke = before + 1;
            continue;
        }
        queue.clear();
        for (auto [i, nth] : targets(*l)) {
            const auto& [call, line] = l->calls[i];
            std::vector<std::string> faults = errors_of(call);
            faults.emplace_back("KILL");
            if (signals) {
                // These always, whether the listing shows them caught or not.
                std::set<int> sigs = {SIGHUP,  SIGINT,  SIGQUIT, SIGPIPE, SIGALRM,
                                      SIGTERM, SIGUSR1, SIGUSR2, SIGXFSZ};
                sigs.insert(l->caught.begin(), l->caught.end());
                faults.clear();
                for (int sig : sigs)
                    faults.push_back(std::to_string(sig));
            }
            for (const auto& f : faults)
                queue.push_back({&in, call, nth, l->before[call] + nth, f, line});
        }
        const std::string what = std::string(signals ? "signals" : "errors") + ", " + in.name;
        std::cout << "faults: " << what << ": " << l->calls.size() << " calls after main's start, "
                  << queue.size() << " injections; " << so_far() << std::endl;
        total += queue.size();
        drive(queue, what);
    }
    return total;
}

// ---- The power mode ----

// Runs a command through the shell; its output, or nothing if it failed.
std::optional<std::string> sh(const std::string& cmd)
{
    std::string out;
    FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    char buf[4096];
    for (std::size_t n; p != nullptr && (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    if (p == nullptr || pclose(p) != 0) {
        std::cout << "faults: failed: " << cmd << ": " << out;
        return std::nullopt;
    }
    return out.substr(0, out.find('\n'));
}

// A command that unmounts m, and with it its loop device; a program that
// ended a moment ago may still hold it.
std::string unmount(const fs::path& m)
{
    return "umount " + m.string() + " || { sleep 1; umount " + m.string() + "; }";
}

// The file systems under test, each in an image on a loop device (mount
// -o loop, which lets the device go with the mount). The images lie on a
// btrfs of their own, where cp --reflink copies each at once. Each is
// mounted so that what is on it is only what a program made durable:
// periodic commits and write-back are pushed out by hours, until this goes.
struct disk {
    std::string type, image;
    fs::path mnt{};
};

struct disks {
    std::map<std::string, disk> all;
    std::vector<std::string> undo;

    ~disks()
    {
        for (auto it = undo.rbegin(); it != undo.rend(); ++it)
            std::ignore = sh(*it); // says what failed
    }

    bool setup()
    {
        // xfs reads its period before its first mount, which is yet to come.
        for (std::string s :
             {"fs.xfs.xfssyncd_centisecs=720000", "vm.dirty_expire_centisecs=360000"}) {
            auto old = sh("sysctl -n " + s.substr(0, s.find('=')));
            if (!old || !sh("sysctl -q -w " + s))
                return false;
            undo.push_back("sysctl -q -w " + s.substr(0, s.find('=') + 1) + *old);
        }
        const std::string ext4 =
            "mkfs.ext4 -q -F -b 4096 -E lazy_itable_init=0,lazy_journal_init=0";
        const struct {
            const char *name, *type, *size;
            std::string mkfs;
            const char* options;
        } kinds[] = {
            {"host", "btrfs", "2G", "mkfs.btrfs -q -f", ""},
            {"ext4", "ext4", "8M", ext4, ",commit=300"},
            {"ext4b", "ext4", "8M", ext4, ",commit=300"},
            {"xfs", "xfs", "300M", "mkfs.xfs -q -f", ""},
            {"btrfs", "btrfs", "128M", "mkfs.btrfs -q -f", ",commit=300,nodiscard"},
        };
        for (const auto& k : kinds) {
            const bool host = k.name == std::string("host");
            disk d{k.type, ((host ? top : top / "mnt" / "host") / k.name).string() + ".img",
                   top / "mnt" / k.name};
            // Another program's file, which it syncs while a run is held.
            if (!sh("mkdir -p " + d.mnt.string() + " && truncate -s " + k.size + " " + d.image +
                    " && " + k.mkfs + " " + d.image + " >/dev/null && mount -t " + d.type +
                    " -o loop" + k.options + " " + d.image + " " + d.mnt.string() +
                    " && echo x > " + (d.mnt / "other").string()))
                return false;
            undo.push_back(unmount(d.mnt));
            all[k.name] = d;
        }
        return sh("sync").has_value();
    }
};

// A process's state as /proc shows it ('t': stopped by its tracer, 'Z':
// ended), or 0 once it is gone.
char state(pid_t pid)
{
    std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
    auto paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() ? stat[paren + 2] : '\0';
}

// Waits until the program has stopped where strace was to stop it (traced,
// it stops briefly at other moments too: the trace tells), with any command
// it started already ended, so that nothing writes the disks. False if it
// ended first.
bool held(const run& r)
{
    for (;;) {
        if (state(r.pid) == 't' &&
            slurp(r.io / "log").find("--- stopped by SIGSTOP ---") != std::string::npos) {
            std::istringstream children(slurp("/proc/" + std::to_string(r.pid) + "/task/" +
                                              std::to_string(r.pid) + "/children"));
            bool running = false;
            for (pid_t c = 0; children >> c;)
                running = running || (state(c) != 'Z' && state(c) != '\0');
            if (!running)
                return true;
        }
        if (state(r.pid) == 'Z' || std::chrono::steady_clock::now() > r.deadline)
            return false;
        usleep(500);
    }
}

// Another program, busy on its own: it syncs its own file on the disk,
// which commits that disk's journal. btrfs's fsync writes only that file's
// log, and it is the periodic commit that commits the rest.
bool busy(const disk& d)
{
    int f = open((d.mnt / "other").c_str(), O_WRONLY | O_CLOEXEC);
    std::uint64_t transid = 0;
    bool ok = f >= 0 && pwrite(f, "y", 1, 0) == 1 && fsync(f) == 0 &&
              (d.type != "btrfs" || (ioctl(f, BTRFS_IOC_START_SYNC, &transid) == 0 &&
                                     ioctl(f, BTRFS_IOC_WAIT_SYNC, &transid) == 0));
    if (f >= 0)
        std::ignore = close(f); // synced already
    return ok;
}

// Where a power mode run's files lie: the disks of its current directory
// and of its file, and whether the file lies in the current directory.
struct scenario {
    const char* name;
    std::string cwd, file;
    bool same_dir;
};

const char* const copies[] = {"as it stands", "after another program's sync", "after sync"};

// Copies the run's disks, each at once, as a power cut would leave them;
// mounts the copies, their journals replayed, and judges what they hold.
void cut(const disks& d, const scenario& sc, const run& r, const char* copy)
{
    std::vector<std::string> undo;
    std::map<std::string, fs::path> at;
    for (const std::string& n : {sc.cwd, sc.file}) {
        const disk& k = d.all.at(n);
        fs::path m = top / "check" / n;
        undo.push_back("rm -f " + k.image + ".copy");
        // A copy has its original's UUID, which xfs mounts only once.
        if (at.count(n) == 0 &&
            sh("mkdir -p " + m.string() + " && cp --reflink=always " + k.image + " " + k.image +
               ".copy && mount -t " + k.type + " -o loop" + (k.type == "xfs" ? ",nouuid " : " ") +
               k.image + ".copy " + m.string())) {
            undo.push_back(unmount(m));
            at[n] = m;
        }
    }
    if (at.size() == (sc.cwd == sc.file ? 1u : 2u)) {
        // A copy of the blocks: its inode numbers are the run's.
        fs::path cwd = at[sc.cwd] / "w";
        scene c = look(cwd, (sc.same_dir ? cwd : at[sc.file] / "d") / "f", r.ino);
        facts f(*r.in, c);
        f.at_exit = r.call == "exit_group" && copy == copies[0];
        f.status =
            f.at_exit
                ? static_cast<int>(std::strtol(r.line.c_str() + r.line.find('(') + 1, nullptr, 10))
                : 0;
        cuts++;
        if (auto why = judge(power_cut, f); !why.empty()) {
            lost++;
            std::cout << report("LOST", r, c, std::string(", a copy ") + copy, why) << std::endl;
        }
    } else {
        broke++;
    }
    for (auto it = undo.rbegin(); it != undo.rend(); ++it)
        std::ignore = sh(*it); // says what failed
}

// Why the power mode cannot run here, or nothing. A container's root has
// neither the right to mount (CAP_SYS_ADMIN) nor loop devices, as a rule.
std::string unpowered()
{
    if (geteuid() != 0)
        return "it needs root";
    if (std::system("{ command -v mkfs.ext4 && command -v mkfs.xfs && command -v mkfs.btrfs && "
                    "command -v losetup && command -v sysctl; } >/dev/null 2>&1") != 0)
        return "it needs e2fsprogs, xfsprogs, btrfs-progs, mount's losetup and procps's sysctl";
    const std::string probe = (top / "probe").string();
    std::error_code ec;
    std::ignore = fs::create_directory(probe, ec); // else mount says why
    // sh() shows what the command said.
    if (!sh("mount -t tmpfs eolscrub2-faults " + probe + " && umount " + probe))
        return "it cannot mount here";
    if (!sh("losetup --find"))
        return "it has no loop device here";
    return {};
}

// A hold after each call that may change a disk, of each scenario.
int power(const std::vector<input>& all)
{
    disks d;
    if (!d.setup()) {
        std::cout << "faults: power: cannot set up the file systems\n";
        broke++;
        return 0;
    }
    const scenario scenarios[] = {
        {"in the current directory", "ext4", "ext4", true},
        {"another directory", "ext4", "ext4", false},
        {"ext4 to ext4", "ext4", "ext4b", false},
        {"ext4 to xfs", "ext4", "xfs", false},
        {"btrfs to ext4", "btrfs", "ext4", false},
    };
    const std::set<std::string> changes = {"write",     "fsync",        "fchown", "fchmod",
                                           "fsetxattr", "fremovexattr", "linkat", "unlinkat",
                                           "renameat2", "clone3",       "wait4",  "exit_group"};
    int holds = 0;
    for (const auto& sc : scenarios) {
        for (const auto& in : all) {
            if (in.name != "small" && in.name != "blocks")
                continue;
            // Starts a run with its files in place and on disk.
            auto begin = [&](run& r) {
                r.in = &in;
                r.where = sc.name;
                r.dir = top / std::to_string(serial++);
                r.io = r.dir / "io";
                r.cwd = d.all[sc.cwd].mnt / "w";
                r.file = (sc.same_dir ? r.cwd : d.all[sc.file].mnt / "d") / "f";
                std::error_code ec;
                fs::remove_all(r.cwd, ec);
                fs::remove_all(r.file.parent_path(), ec);
                bool ok = start(r) && sh("sync");
                broke += ok ? 0 : 1;
                return ok;
            };
            run first;
            if (!begin(first))
                continue;
            finish(first, false);
            auto l = list(slurp(first.io / "log"));
            if (!l || first.how() != done) {
                std::cout << "faults: power, " << in.name << ", " << sc.name
                          << ": the run with no fault did not succeed\n";
                broke++;
                continue;
            }
            std::cout << "faults: power, " << in.name << ", " << sc.name << ": " << l->calls.size()
                      << " calls after main's start; " << so_far() << std::endl;
            std::map<std::string, int> seen;
            for (const auto& [call, line] : l->calls) {
                int nth = ++seen[call];
                run r{&in, call, nth, l->before[call] + nth, "STOP", line};
                if (!changes.count(call) || line.rfind("write(2,", 0) == 0 || interrupted ||
                    !begin(r))
                    continue;
                if (held(r)) {
                    cut(d, sc, r, copies[0]);
                    bool synced = busy(d.all[sc.cwd]);
                    synced = busy(d.all[sc.file]) && synced;
                    synced ? cut(d, sc, r, copies[1]) : void(broke++);
                    sh("sync") ? cut(d, sc, r, copies[2]) : void(broke++);
                    std::ignore = kill(r.pid, SIGCONT); // it is there, stopped
                } else {
                    missed++;
                }
                finish(r, false);
                holds++;
                // The run, which went on after the hold.
                scene s = look(r.cwd, r.file, r.ino);
                s.err = slurp(r.io / "err");
                if (auto why = judge(r.how(), facts(in, s)); !why.empty()) {
                    broke++;
                    std::cout << report("BROKE", r, s, "", why) << std::endl;
                }
                std::error_code ec;
                fs::remove_all(r.dir, ec);
            }
            std::error_code ec;
            fs::remove_all(first.dir, ec);
        }
    }
    return holds;
}

extern "C" void on_interrupt(int)
{
    interrupted = 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::cerr << "usage: faults PATH-TO-EOLSCRUB2 [errors] [signals] [power]\n";
        return 2;
    }
    std::set<std::string> modes(argv + 2, argv + argc);
    if (modes.empty())
        modes = {"errors", "signals", "power"};
    if (std::system("strace -V >/dev/null 2>&1") != 0) {
        std::cout << "faults: SKIPPED, strace is not installed (apt-get install strace); no fault "
                     "was injected\n";
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
    setenv("LC_ALL", "C", 1);                        // messages in English, as the rule reads them
    std::ignore = std::signal(SIGINT, on_interrupt); // cannot fail for these
    std::ignore = std::signal(SIGTERM, on_interrupt);
    std::string t = (fs::temp_directory_path() / "eolscrub2-faults.XXXXXX").string();
    if (mkdtemp(t.data()) == nullptr) {
        std::cerr << "faults: cannot make a scratch directory: " << std::strerror(errno) << "\n";
        return 1;
    }
    top = t;
    if (std::string why = modes.count("power") ? unpowered() : ""; !why.empty()) {
        std::cout << "faults: power: SKIPPED, " << why << std::endl;
        modes.erase("power");
        if (modes.empty()) {
            fs::remove_all(top, ec);
            return 77;
        }
    }
    const auto all = inputs();

    std::size_t planned = 0;
    int holds = 0;
    for (const char* mode : {"errors", "signals"}) {
        if (modes.count(mode))
            planned += inject(all, mode[0] == 's');
    }
    if (modes.count("power"))
        holds = power(all);
    if (!keep)
        fs::remove_all(top, ec);
    std::cout << "faults: "
              << std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count()
              << " s; " << missed << " planned faults did not come\n";
    // A few calls come only now and then; many missed faults mean that the
    // listing does not describe the runs, and the result would mean little.
    const bool drifted = static_cast<std::size_t>(missed) * 20 > planned + holds;
    if (drifted)
        std::cout << "faults: the runs do not follow their listings\n";
    if (modes.count("errors") || modes.count("signals"))
        std::cout << planned << " injections, " << broke << " broke the rule" << std::endl;
    if (modes.count("power"))
        std::cout << cuts << " power cuts, " << lost << " lost data" << std::endl;
    return broke == 0 && lost == 0 && !drifted && !interrupted ? 0 : 1;
}
