// eolscrub2: convert a text file in place from CR LF line endings to LF.
//
// The converted text is written to a fresh work file in the current
// directory, given the file's attributes and made durable; then "rm" and
// "mv", run through the shell, put it in the file's place. Until "rm"
// starts the file is never touched, so a failure before it leaves the file
// as it was. After the commands the run looks at what they left, not at
// what they said, and tells which of the two files holds the text.

#include "attrs.h"
#include "convert.h"
#include "fd.h"
#include "quote.h"
#include "signals.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void warn(const std::string& what, const std::string& reason)
{
    // Should even this fail, the exit status still tells.
    std::ignore = std::fprintf(stderr, "eolscrub2: %s: %s\n", what.c_str(), reason.c_str());
}

std::string why(int err)
{
    return std::strerror(err);
}

// The status of a replacement that did not finish cleanly.
constexpr int unfinished = 3;

bool same_inode(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether the file is the one that was read, with nothing written to it
// since: its inode, size and times are as they were.
bool unchanged_since(const struct stat& a, const struct stat& b)
{
    return same_inode(a, b) && a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
           a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// Where the file lies: its directory, held open, and its name there. The
// commands run in that directory, so that swapping a directory on the path
// for a link to another cannot send them elsewhere. For a symbolic link,
// the file it leads to, so that the link stays a link.
struct place {
    fd dir;
    std::string base;

    // 0 or an errno; ESTALE when the name no longer leads to the file read.
    int find(const std::string& path, const struct stat& st)
    {
        std::string p = path;
        struct stat lst {};
        if (lstat(p.c_str(), &lst) != 0)
            return errno;
        if (S_ISLNK(lst.st_mode)) {
            std::unique_ptr<char, decltype(&std::free)> real{realpath(p.c_str(), nullptr),
                                                             &std::free};
            if (!real)
                return errno;
            p = real.get();
        }
        std::size_t slash = p.rfind('/');
        std::string d = slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
        base = slash == std::string::npos ? p : p.substr(slash + 1);
        // Readable, so that it can be synced once the file is in it.
        dir = fd{open(d.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
        if (!dir.ok())
            return errno;
        return still(st);
    }

    // 0 when the name leads to the file read, unchanged; ESTALE when not;
    // or the errno of the look.
    int still(const struct stat& st) const
    {
        struct stat now {};
        if (fstatat(dir.get(), base.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0)
            return errno == ENOENT ? ESTALE : errno;
        return unchanged_since(now, st) ? 0 : ESTALE;
    }
};

// The work file: a new file under a unique name in the current directory,
// removed when this goes out of scope unless the replacement has taken it.
class work {
public:
    work() = default;
    work(const work&) = delete;
    work& operator=(const work&) = delete;
    ~work()
    {
        if (made_ && !kept_)
            remove();
    }

    // Creates the file exclusively (never one that existed before) and
    // returns it open for writing, or a failed fd with errno set.
    fd create()
    {
        std::unique_ptr<char, decltype(&std::free)> cwd{getcwd(nullptr, 0), &std::free};
        if (!cwd)
            return fd{};
        dir_ = cwd.get();
        here_ = fd{open(".", O_PATH | O_DIRECTORY | O_CLOEXEC)};
        if (!here_.ok())
            return fd{};
        // A signal between the creation and the arming of the handler
        // would leave the file behind, so none is taken in between.
        sigset_t all;
        sigset_t old;
        sigfillset(&all);
        std::ignore = sigprocmask(SIG_BLOCK, &all, &old); // cannot fail
        fd f{mkostemp(name_.data(), O_CLOEXEC)};
        int err = f.ok() ? 0 : errno;
        if (f.ok()) {
            made_ = true;
            doom(name_.c_str());
            if (fstat(f.get(), &st_) != 0)
                err = errno;
        }
        std::ignore = sigprocmask(SIG_SETMASK, &old, nullptr);
        errno = err;
        return err != 0 && f.ok() ? fd{} : std::move(f);
    }

    // From here on the file may be the only copy of the converted text: no
    // failure and no signal removes it unasked.
    void keep() { kept_ = true; }

    void remove()
    {
        doom(nullptr);
        kept_ = true;
        std::ignore = unlinkat(here_.get(), name_.c_str(), 0); // a failing run says why
    }

    // Whether the file is still there under its name.
    bool there() const
    {
        struct stat now {};
        return fstatat(here_.get(), name_.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
               same_inode(now, st_);
    }

    const std::string& name() const { return name_; }
    std::string path() const { return dir_ + "/" + name_; }
    // For messages on what went wrong while it was written: by then it is gone.
    std::string where() const { return "work file in " + (dir_.empty() ? "." : dir_); }
    const struct stat& stat() const { return st_; }
    int here() const { return here_.get(); }

private:
    std::string name_ = "eolscrub.tmp.XXXXXX";
    std::string dir_;
    fd here_;
    struct stat st_ {};
    bool made_ = false;
    bool kept_ = false;
};

// Room for one block, or for the whole file when it is smaller: a small
// file's run touches no more memory than it needs.
struct buffer {
    std::size_t size;
    std::unique_ptr<unsigned char[]> bytes = std::make_unique_for_overwrite<unsigned char[]>(size);

    explicit buffer(off_t hint = -1)
        : size(hint < 0 ? block
                        : std::clamp<std::size_t>(static_cast<std::size_t>(hint) + 1, 4096, block))
    {
    }
};

struct fault {
    int err = 0;       // 0 when the copy succeeded
    bool read = false; // whether the read side failed
};

// Copies in to out through the conversion, each block converted where it
// was read. Into the work file (`file`), the kernel is asked to start
// writing every few megabytes, so the final fsync has little left to wait
// for and the page cache is not filled with dirty pages.
fault pump(int in, int out, bool file, const buffer& buf)
{
    constexpr off_t flush = 8 << 20;
    scrub s;
    off_t written = 0;
    off_t synced = 0;
    for (;;) {
        ssize_t r = get(in, buf.bytes.get(), buf.size);
        if (r < 0)
            return {errno, true};
        if (r == 0)
            break;
        std::size_t m = s.feed(buf.bytes.get(), static_cast<std::size_t>(r), buf.bytes.get());
        if (int err = put(out, buf.bytes.get(), m))
            return {err, false};
        written += static_cast<off_t>(m);
        if (file && written - synced >= flush) {
            if (sync_file_range(out, synced, written - synced, SYNC_FILE_RANGE_WRITE) != 0)
                return {errno, false};
            synced = written;
        }
    }
    if (s.needs_lf()) {
        if (int err = put(out, &lf, 1))
            return {err, false};
    }
    return {};
}

// Whether the conversion would leave the file's bytes exactly as they are:
// no CR, no SUB, and a final LF. Reading stops at the first block that
// would change, which for a CR LF file is the first one. 0 or an errno.
int unchanged(int in, const buffer& buf, bool& same)
{
    scrub s;
    same = false;
    bool any = false;
    for (;;) {
        ssize_t r = get(in, buf.bytes.get(), buf.size);
        if (r < 0)
            return errno;
        if (r == 0)
            break;
        any = true;
        auto got = static_cast<std::size_t>(r);
        if (s.feed(buf.bytes.get(), got, buf.bytes.get()) != got)
            return 0;
    }
    same = any && !s.needs_lf();
    return 0;
}

// Reads until n bytes or the end. The count, or -1 with errno set.
ssize_t fill(int f, unsigned char* buf, std::size_t n)
{
    std::size_t got = 0;
    while (got < n) {
        ssize_t r = get(f, buf + got, n - got);
        if (r < 0)
            return -1;
        if (r == 0)
            break;
        got += static_cast<std::size_t>(r);
    }
    return static_cast<ssize_t>(got);
}

// Whether two files hold the same bytes; false when either cannot be read.
bool same_bytes(int a, int b)
{
    std::size_t n = block;
    auto x = std::make_unique_for_overwrite<unsigned char[]>(n);
    auto y = std::make_unique_for_overwrite<unsigned char[]>(n);
    for (;;) {
        ssize_t p = fill(a, x.get(), n);
        ssize_t q = fill(b, y.get(), n);
        if (p < 0 || p != q || std::memcmp(x.get(), y.get(), static_cast<std::size_t>(p)) != 0)
            return false;
        if (p == 0)
            return true;
    }
}

// What the two commands left: the file under the name, and the work file.
struct outcome {
    bool converted = false; // the name holds the converted text
    bool copy = false;      // in a new file, not the work file renamed
    bool left = false;      // the work file is still there under its name
    std::string held;       // otherwise what the name holds, for the message
};

outcome look(const place& at, work& tmp, bool mv_ok, const struct stat& st)
{
    outcome o;
    struct stat now {};
    int err = fstatat(at.dir.get(), at.base.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
    if (err == 0 && same_inode(now, tmp.stat())) {
        o.converted = true;
        return o;
    }
    if (err == ENOENT)
        o.held = "no file is there now";
    else if (err != 0)
        o.held = "what is there now is unknown (" + why(err) + ")";
    else if (same_inode(now, st))
        o.held = "the original is still there";
    else
        o.held = "another file is there now";
    o.left = tmp.there();
    if (!o.left) {
        // mv copies across file systems and then removes its source.
        o.converted = o.copy =
            (err == 0 && !same_inode(now, st)) || (err != 0 && err != ENOENT && mv_ok);
        return o;
    }
    if (err == 0 && !same_inode(now, st)) {
        // A copy across file systems whose source could not be removed, or
        // a file someone else put there.
        fd copy{openat(at.dir.get(), at.base.c_str(),
                       O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
        fd ours{openat(tmp.here(), tmp.name().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC)};
        if (copy.ok() && ours.ok() && same_bytes(copy.get(), ours.get())) {
            o.converted = o.copy = true;
            o.left = false;
            tmp.remove();
        }
    }
    return o;
}

// Once the name holds the converted text: sync it where mv wrote a copy,
// give it an ACL the work file could not take, and sync the directory
// entry that names it. The run's status.
int settle(const std::string& path, const place& at, const outcome& o, const carried& attrs)
{
    int err = 0;
    fd file;
    if (o.copy || !attrs.acl.empty()) {
        file = fd{openat(at.dir.get(), at.base.c_str(),
                         O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
        if (!file.ok())
            err = errno;
    }
    if (err == 0 && !attrs.acl.empty()) {
        if (int e = restore_acl(file.get(), attrs.acl))
            warn(path, "its access control list could not be kept (" + why(e) +
                           "); the owning group has only its own permissions");
    }
    if (err == 0 && o.copy && fsync(file.get()) != 0)
        err = errno;
    if (err == 0 && fsync(at.dir.get()) != 0)
        err = errno;
    if (err != 0) {
        warn(path, "converted, but it may not be on disk: " + why(err));
        return unfinished;
    }
    return 0;
}

// Runs one command through the shell. Its status as system(3) gives it.
int command(const std::string& text)
{
    int status = std::system(text.c_str());
    // -1: system(3) could not wait for the shell, which may still be
    // running. Nothing may go on until it has ended, or an rm still at
    // work could remove what mv has just put in place.
    if (status == -1) {
        while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
        }
    }
    return status;
}

// With no file named: a filter from standard input to standard output.
int filter()
{
    if (isatty(STDIN_FILENO)) {
        // The exit status says it too.
        std::ignore = std::fputs("usage: eolscrub2 FILE\n"
                                 "       eolscrub2 < in > out\n",
                                 stderr);
        return 2;
    }
    if (fault f = pump(STDIN_FILENO, STDOUT_FILENO, false, buffer{}); f.err != 0) {
        warn(f.read ? "stdin" : "stdout", why(f.err));
        return 1;
    }
    // A write to a file on NFS can fail only at the close.
    if (close(STDOUT_FILENO) != 0) {
        warn("stdout", why(errno));
        return 1;
    }
    return 0;
}

// The file is no longer the one that was read (ESTALE), or looking failed.
int refused(const std::string& path, int err)
{
    bool gone = err == ESTALE || err == ENOENT || err == ENOTDIR;
    warn(path, gone ? "changed during the conversion; not replaced" : why(err));
    return 1;
}

int missing()
{
    std::ignore = std::puts("file not found"); // the status says it anyway
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    // A caller that ignores SIGCHLD (some daemons and language runtimes)
    // passes that on, and system(3) could then not learn how a command ended.
    std::ignore = std::signal(SIGCHLD, SIG_DFL); // cannot fail
    if (argc < 2)
        return filter();
    const std::string path = argv[1];

    // The kind of file is found before opening it: a socket cannot be
    // opened at all, and opening a FIFO waits for a writer.
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return missing();
    fd in;
    if (S_ISREG(st.st_mode)) {
        // O_NONBLOCK in case the name now leads to a FIFO after all; it does
        // nothing to a regular file.
        in = fd{open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
        if (!in.ok())
            return missing();
    }
    if (argc > 2) {
        int n = argc - 2;
        std::ignore = std::fprintf(stderr, // a warning: the run goes on
                                   "eolscrub2: %d further argument%s ignored; convert one file "
                                   "per run\n",
                                   n, n == 1 ? "" : "s");
    }
    if (in.ok() && fstat(in.get(), &st) != 0) {
        warn(path, why(errno));
        return 1;
    }
    if (!in.ok() || !S_ISREG(st.st_mode)) {
        warn(path, "not a regular file");
        return 1;
    }

    // One buffer for the look and the conversion.
    const buffer buf{st.st_size};
    bool same = false;
    if (int err = unchanged(in.get(), buf, same)) {
        warn(path, why(err));
        return 1;
    }
    if (same)
        return 0; // nothing to do: the file keeps its inode and times
    if (lseek(in.get(), 0, SEEK_SET) != 0) {
        warn(path, why(errno));
        return 1;
    }
    place at;
    if (int err = at.find(path, st))
        return refused(path, err);

    catch_signals();
    // Past the file-size limit the kernel kills the writer with SIGXFSZ;
    // ignored, the write fails with EFBIG and the work file is removed.
    struct sigaction xfsz {};
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    std::ignore = sigaction(SIGXFSZ, &ignore, &xfsz); // cannot fail

    work tmp;
    fd out = tmp.create();
    if (!out.ok()) {
        warn(tmp.where(), why(errno));
        return 1;
    }
    if (fault f = pump(in.get(), out.get(), true, buf); f.err != 0) {
        warn(f.read ? path : tmp.where(), why(f.err));
        return 1;
    }
    carried attrs = carry(in.get(), out.get(), st);
    if (attrs.err != 0) {
        warn(attrs.reading ? path : tmp.where(), why(attrs.err));
        return 1;
    }
    // The old text is about to be removed: the new one must be on disk
    // first, or a crash in between could leave neither.
    if (fsync(out.get()) != 0) {
        warn(tmp.where(), why(errno));
        return 1;
    }
    if (int err = out.close()) {
        warn(tmp.where(), why(err));
        return 1;
    }
    // An editor may have saved a newer version meanwhile, someone swapped a
    // directory on the path or repointed a link: only the very file that
    // was read, unchanged, is replaced. What remains is the moment between
    // this look and the remove command.
    struct stat now {};
    int err = stat(path.c_str(), &now) != 0 ? errno : same_inode(now, st) ? 0 : ESTALE;
    if (err == 0)
        err = at.still(st);
    if (err != 0)
        return refused(path, err);
    if (!tmp.there()) {
        warn(tmp.where(), "the work file changed; not replaced");
        return 1;
    }

    // Made before rm runs: once it has, running out of memory must not stop
    // the move. Each shell replaces itself with the utility.
    const std::string rm = "exec rm -f -- " + quote(at.base);
    const std::string mv = "exec mv -f -- " + quote(tmp.path()) + " " + quote(at.base);

    // The commands run with the signal dispositions the caller gave us.
    std::ignore = sigaction(SIGXFSZ, &xfsz, nullptr); // cannot fail
    shield();
    tmp.keep();
    if (fchdir(at.dir.get()) != 0) {
        int err = errno;
        tmp.remove();
        warn(path, why(err));
        if (int sig = held(0, 0))
            die(sig);
        return 1;
    }
    // If rm fails, mv still replaces the file; what they left decides.
    int removed = command(rm);
    int moved = command(mv);

    outcome o = look(at, tmp, moved == 0, st);
    int status = 0;
    if (o.converted) {
        status = settle(path, at, o, attrs);
    } else {
        warn(path, "not replaced; " + o.held + "; " +
                       (o.left ? "the converted text is in " + tmp.name()
                               : std::string("the work file is gone")));
        status = unfinished;
    }
    if (int sig = held(removed, moved))
        die(sig);
    return status;
}
