// eolscrub2: convert a text file in place from CR LF line endings to LF.
//
// The converted text is written to a fresh work file in the current
// directory, made durable, and then put in the file's place by "rm" and
// "mv". Until the replacement starts the file is never touched, so any
// failure before it leaves the input as it was.

#include "convert.h"
#include "quote.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

void warn(const std::string& what, const char* reason)
{
    // Should even this fail, the exit status still tells.
    std::ignore = std::fprintf(stderr, "eolscrub2: %s: %s\n", what.c_str(), reason);
}

// Owns one descriptor. Where a close can lose data, call close() and look
// at its result; the destructor's close is for paths already failing.
class fd {
public:
    explicit fd(int n) : n_(n) {}
    fd(fd&& o) noexcept : n_(std::exchange(o.n_, -1)) {}
    fd(const fd&) = delete;
    fd& operator=(const fd&) = delete;
    fd& operator=(fd&&) = delete;
    ~fd()
    {
        if (n_ >= 0)
            std::ignore = ::close(n_); // an error is already being reported
    }

    int get() const { return n_; }
    bool ok() const { return n_ >= 0; }

    // 0, or the errno of the failed close.
    int close() { return ::close(std::exchange(n_, -1)) == 0 ? 0 : errno; }

private:
    int n_;
};

// The work file the signal handler removes, while it is still ours to
// remove. Only an atomic that needs no lock may be read in a handler.
std::atomic<const char*> doomed{nullptr};
static_assert(std::atomic<const char*>::is_always_lock_free);

extern "C" void die(int sig)
{
    if (const char* name = doomed.load())
        std::ignore = unlink(name); // nothing can be reported from here
    // Neither can fail for a valid signal number.
    std::ignore = std::signal(sig, SIG_DFL);
    std::ignore = std::raise(sig); // delivered, with the default action, on return
}

constexpr int fatal[] = {SIGHUP, SIGINT, SIGTERM};

void catch_fatal()
{
    for (int sig : fatal) {
        struct sigaction old {};
        // A signal the caller ignores (nohup, a background job) stays
        // ignored, as in any well-behaved tool.
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        struct sigaction sa {};
        sa.sa_handler = die;
        sigemptyset(&sa.sa_mask);
        std::ignore = sigaction(sig, &sa, nullptr); // cannot fail for these
    }
}

// The work file: a new file under a unique name in the current directory,
// removed when this goes out of scope unless the replacement has taken it.
class work {
public:
    work() = default;
    work(const work&) = delete;
    work& operator=(const work&) = delete;
    ~work()
    {
        if (made_ && !kept_) {
            doomed.store(nullptr);
            std::ignore = unlink(name_.c_str()); // best effort on a failing run
        }
    }

    // Creates the file exclusively (never one that existed before) and
    // returns it open for writing, or a failed fd with errno set.
    fd create()
    {
        // A signal between the creation and the arming of the handler
        // would leave the file behind, so none is taken in between.
        sigset_t set, old;
        sigemptyset(&set);
        for (int sig : fatal)
            sigaddset(&set, sig);
        sigprocmask(SIG_BLOCK, &set, &old);
        fd f{mkostemp(name_.data(), O_CLOEXEC)};
        int err = errno;
        if (f.ok()) {
            made_ = true;
            doomed.store(name_.c_str());
        }
        sigprocmask(SIG_SETMASK, &old, nullptr);
        errno = err;
        return f;
    }

    // From here on the file is the only copy of the converted text: no
    // failure and no signal may remove it.
    void keep()
    {
        doomed.store(nullptr);
        kept_ = true;
    }

    const std::string& name() const { return name_; }

private:
    std::string name_ = "eolscrub.tmp.XXXXXX";
    bool made_ = false;
    bool kept_ = false;
};

// Reads into buf, going on after an interrupted call. Returns the count,
// 0 at the end, or -1 with errno set.
ssize_t get(int f, unsigned char* buf, std::size_t size)
{
    for (;;) {
        ssize_t n = read(f, buf, size);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

// 0, or the errno of the write that failed. Pipes and nearly full disks
// give short writes; the rest is written by the next call.
int put(int f, const unsigned char* p, std::size_t n)
{
    while (n > 0) {
        ssize_t w = write(f, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return 0;
}

// Gathers converted text and writes it out. To the work file it writes
// with O_DIRECT where the file system allows: the bytes go from this one
// buffer to the disk instead of being copied into newly allocated page
// cache, which on some virtual machines costs more than the conversion and
// the disk together. O_DIRECT takes only whole aligned blocks, so the last
// partial one goes through the page cache. Anything else (a pipe, a
// terminal) gets each piece as soon as it is converted.
class sink {
public:
    static constexpr std::size_t align = 4096;
    // Three and a half blocks: the disk is written in pieces of 1.25 to
    // 1.75 MiB, large enough to keep it busy, and a run on a small file
    // touches nearly as much memory as one on a large file.
    static constexpr std::size_t size = 7 * block / 2;
    static_assert(size % align == 0);

    sink(int f, bool direct) : f_(f)
    {
        int flags = fcntl(f, F_GETFL);
        direct_ = direct && flags >= 0 && fcntl(f, F_SETFL, flags | O_DIRECT) == 0;
    }

    bool ok() const { return buf_ != nullptr; }

    // Where the next block is read and converted in place; there is room
    // for one, and for the final LF after it.
    unsigned char* room() { return buf_.get() + fill_; }

    // Takes the n bytes just put at room(). Returns 0 or an errno.
    int commit(std::size_t n)
    {
        fill_ += n;
        return !direct_ || size - fill_ <= block ? drain() : 0;
    }

    // Writes what is left. Returns 0 or an errno.
    int finish()
    {
        if (int err = drain())
            return err;
        if (direct_) {
            int flags = fcntl(f_, F_GETFL);
            if (flags < 0 || fcntl(f_, F_SETFL, flags & ~O_DIRECT) != 0)
                return errno;
            direct_ = false;
        }
        return drain();
    }

private:
    struct freer {
        void operator()(unsigned char* p) const { std::free(p); }
    };

    int drain()
    {
        std::size_t n = direct_ ? fill_ / align * align : fill_;
        if (int err = put(f_, buf_.get(), n))
            return err;
        std::memmove(buf_.get(), buf_.get() + n, fill_ - n);
        fill_ -= n;
        return 0;
    }

    int f_;
    bool direct_ = false;
    std::unique_ptr<unsigned char[], freer> buf_{
        static_cast<unsigned char*>(std::aligned_alloc(align, size))};
    std::size_t fill_ = 0;
};

struct fault {
    int err = 0;       // 0 when the copy succeeded
    bool read = false; // whether the read side failed
};

// Copies in to out through the conversion, block by block, each converted
// where it was read: its output is never longer. `file` says out is
// the work file, which is to be written straight to the disk if it can.
fault pump(int in, int out, bool file)
{
    sink to{out, file};
    if (!to.ok())
        return {ENOMEM, false};
    scrub s;
    for (;;) {
        ssize_t n = get(in, to.room(), block);
        if (n < 0)
            return {errno, true};
        if (n == 0)
            break;
        std::size_t m = s.feed(to.room(), static_cast<std::size_t>(n), to.room());
        if (int err = to.commit(m))
            return {err, false};
    }
    if (s.needs_lf()) {
        *to.room() = lf;
        if (int err = to.commit(1))
            return {err, false};
    }
    if (int err = to.finish())
        return {err, false};
    return {};
}

// Whether the conversion would leave the file's bytes exactly as they are:
// no CR, no SUB, and a final LF. Reading stops at the first block that
// would change, which for a CR LF file is the first one. Returns 0 or an
// errno.
int unchanged(int in, bool& same)
{
    std::vector<unsigned char> buf(block);
    scrub s;
    same = false;
    bool any = false;
    for (;;) {
        ssize_t n = get(in, buf.data(), buf.size());
        if (n < 0)
            return errno;
        if (n == 0)
            break;
        any = true;
        auto size = static_cast<std::size_t>(n);
        if (s.feed(buf.data(), size, buf.data()) != size)
            return 0;
    }
    same = any && !s.needs_lf();
    return 0;
}

// Extended attributes carry POSIX ACLs and security labels. A file system
// that has none, or a label this user may not set, leaves the new file
// without it, as cp -p would.
void copy_xattrs(int in, int out)
{
    ssize_t n = flistxattr(in, nullptr, 0);
    if (n <= 0)
        return;
    std::string names(static_cast<std::size_t>(n), '\0');
    n = flistxattr(in, names.data(), names.size());
    if (n <= 0)
        return;
    names.resize(static_cast<std::size_t>(n));
    for (std::size_t i = 0; i < names.size(); i = names.find('\0', i) + 1) {
        const char* key = names.c_str() + i;
        ssize_t len = fgetxattr(in, key, nullptr, 0);
        if (len < 0)
            continue;
        std::string value(static_cast<std::size_t>(len), '\0');
        len = fgetxattr(in, key, value.data(), value.size());
        if (len < 0)
            continue;
        std::ignore = fsetxattr(out, key, value.data(), static_cast<std::size_t>(len),
                                0); // skipped where not allowed
    }
}

// Gives the work file the input's owner, group, extended attributes and
// permission bits. Returns 0 or the errno of a failed chmod.
int copy_attributes(int in, int out, const struct stat& st)
{
    mode_t mode = st.st_mode & 07777;
    // Only root may give a file away; a user may still keep the group if
    // they belong to it. A set-ID bit must not survive on a file that is
    // now someone else's.
    if (fchown(out, st.st_uid, st.st_gid) != 0) {
        mode &= ~S_ISUID;
        if (fchown(out, static_cast<uid_t>(-1), st.st_gid) != 0)
            mode &= ~S_ISGID;
    }
    // After the chown, which clears file capabilities, and before the
    // chmod, which must have the last word on the bits.
    copy_xattrs(in, out);
    return fchmod(out, mode) == 0 ? 0 : errno;
}

// The file a symbolic link leads to is the one to replace, in its own
// directory, so that the link stays a link. Returns the path to hand to
// rm and mv, or an empty string with errno set.
std::string target(const std::string& path, const struct stat& st)
{
    struct stat lst {};
    if (lstat(path.c_str(), &lst) != 0)
        return {};
    if (!S_ISLNK(lst.st_mode))
        return path;
    char* real = realpath(path.c_str(), nullptr);
    if (real == nullptr)
        return {};
    std::string t = real;
    std::free(real);
    // The link may have been pointed elsewhere since the file was opened.
    struct stat tst {};
    if (stat(t.c_str(), &tst) != 0)
        return {};
    if (tst.st_dev != st.st_dev || tst.st_ino != st.st_ino) {
        errno = ESTALE;
        return {};
    }
    return t;
}

std::string cwd()
{
    char* d = getcwd(nullptr, 0);
    if (d == nullptr)
        return ".";
    std::string s = d;
    std::free(d);
    return s;
}

// With no file named: a filter from standard input to standard output.
int filter()
{
    if (isatty(STDIN_FILENO)) {
        std::ignore = std::fputs("usage: eolscrub2 FILE\n", stderr); // exit 2 says it too
        return 2;
    }
    if (fault f = pump(STDIN_FILENO, STDOUT_FILENO, false); f.err != 0) {
        warn(f.read ? "stdin" : "stdout", std::strerror(f.err));
        return 1;
    }
    // A write to a file on NFS can fail only at the close.
    if (close(STDOUT_FILENO) != 0) {
        warn("stdout", std::strerror(errno));
        return 1;
    }
    return 0;
}

int irregular(const std::string& path)
{
    warn(path, "not a regular file");
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
    if (argc < 2)
        return filter();
    const std::string path = argv[1];

    // The kind of file is found before opening it: a socket cannot be
    // opened at all, and opening a FIFO waits for a writer.
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return missing();
    if (!S_ISREG(st.st_mode))
        return irregular(path);
    // O_NONBLOCK in case the name now leads to a FIFO after all; it does
    // nothing to a regular file.
    fd in{open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
    if (!in.ok())
        return missing();
    if (fstat(in.get(), &st) != 0) {
        warn(path, std::strerror(errno));
        return 1;
    }
    if (!S_ISREG(st.st_mode))
        return irregular(path);

    bool same = false;
    if (int err = unchanged(in.get(), same)) {
        warn(path, std::strerror(err));
        return 1;
    }
    if (same)
        return 0; // nothing to do: the file keeps its inode and times
    if (lseek(in.get(), 0, SEEK_SET) != 0) {
        warn(path, std::strerror(errno));
        return 1;
    }
    const std::string dest = target(path, st);
    if (dest.empty()) {
        warn(path, std::strerror(errno));
        return 1;
    }

    catch_fatal();
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
        warn(cwd(), std::strerror(errno));
        return 1;
    }
    if (fault f = pump(in.get(), out.get(), true); f.err != 0) {
        warn(path, std::strerror(f.err));
        return 1;
    }
    if (int err = copy_attributes(in.get(), out.get(), st)) {
        warn(tmp.name(), std::strerror(err));
        return 1;
    }
    // The old text is about to be removed: the new one must be on disk
    // first, or a crash in between could leave neither.
    if (fsync(out.get()) != 0) {
        warn(path, std::strerror(errno));
        return 1;
    }
    if (int err = out.close()) {
        warn(path, std::strerror(err));
        return 1;
    }
    if (int err = in.close()) {
        warn(path, std::strerror(err));
        return 1;
    }

    // The commands run with the signal dispositions the caller gave us.
    std::ignore = sigaction(SIGXFSZ, &xfsz, nullptr); // cannot fail
    tmp.keep();
    const std::string qdest = quote(dest);
    // If rm fails, mv reports what matters: whether the file was replaced.
    std::ignore = std::system(("rm -f -- " + qdest).c_str());
    int status = std::system(("mv -f -- " + quote(tmp.name()) + " " + qdest).c_str());
    if (status == 0)
        return 0;
    int code = 1;
    if (status == -1)
        warn("mv", std::strerror(errno));
    else if (WIFSIGNALED(status))
        code = 128 + WTERMSIG(status);
    else if (WEXITSTATUS(status) != 0)
        code = WEXITSTATUS(status);
    warn(path, ("not replaced; the converted text is in " + tmp.name()).c_str());
    return code;
}
