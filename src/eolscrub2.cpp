// SPDX-License-Identifier: ISC
// eolscrub2: convert a text file in place from CR LF line endings to LF.
//
// The converted text is written to a fresh work file in the current
// directory, given the file's attributes and made durable; then "rm" and
// "mv", run through the shell, put it in the file's place. Until "rm"
// starts the file is never touched, so a failure before it leaves the file
// as it was. After the commands the run looks at what they left, not at
// what they said, and tells which of the two files holds the text.

#include "attrs.h"
#include "checks.h"
#include "copy.h"
#include "fd.h"
#include "lease.h"
#include "replace.h"
#include "report.h"
#include "signals.h"
#include "workfile.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>
#include <tuple>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace eolscrub2;

namespace {

// With no file named: a filter from standard input to standard output.
int filter()
{
    if (isatty(STDIN_FILENO)) {
        // The exit status says it too.
        std::ignore = std::fputs("usage: eolscrub2 FILE\n"
                                 "       eolscrub2 < in > out\n",
                                 stderr);
        return usage;
    }
    if (fault f = convert(STDIN_FILENO, STDOUT_FILENO, false, buffer{}); f.err != 0)
        return fail(f.reading ? "stdin" : "stdout", why(f.err));
    // A write to a file on NFS can fail only at the close.
    if (close(STDOUT_FILENO) != 0)
        return fail("stdout", why(errno));
    return done;
}

// The file, opened for reading, with what stat says of it: 0, or ENOENT
// when it cannot be opened, whatever the cause; but EOVERFLOW for a file
// that is there and that this build cannot describe (a size or a time too
// large for its types). Anything but a regular file is found but not
// opened: a socket cannot be opened at all, and opening a FIFO waits for a
// writer.
int take(const std::string& path, struct stat& st, fd& in)
{
    if (stat(path.c_str(), &st) != 0)
        return errno == EOVERFLOW ? errno : ENOENT;
    if (!S_ISREG(st.st_mode))
        return 0;
    // O_NONBLOCK in case the name now leads to a FIFO after all; it does
    // nothing to a regular file.
    in = fd{open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
    return in.ok() ? 0 : errno == EOVERFLOW ? errno : ENOENT;
}

int missing(const std::string& path)
{
    std::ignore = std::puts("file not found"); // the status says it anyway
    // "--help", say: a name like an option, which the program has none of.
    if (path.starts_with("-"))
        say({"takes no options; usage: eolscrub2 FILE"});
    return failed;
}

} // namespace

int main(int argc, char** argv)
{
    // A caller that ignores SIGCHLD (some daemons and language runtimes)
    // passes that on, and system(3) could then not learn how a command ended.
    std::ignore = std::signal(SIGCHLD, SIG_DFL); // cannot fail
    if (argc < 2)
        return filter();

    // The file, and whether it needs converting. The lease is taken first,
    // so that all of what is read is what is converted.
    original f;
    f.path = argv[1];
    if (argc > 2) // a warning: the run goes on
        say({std::to_string(argc - 2), argc == 3 ? " further argument" : " further arguments",
             " ignored; convert one file per run"});
    if (int err = take(f.path, f.st, f.in))
        return err == ENOENT ? missing(f.path) : fail(f.path, why(err));
    const std::string& path = f.path;
    if (f.in.ok() && fstat(f.in.get(), &f.st) != 0)
        return fail(path, why(errno));
    if (!f.in.ok() || !S_ISREG(f.st.st_mode))
        return fail(path, "not a regular file");
    catch_signals();
    f.lease = take_lease(f.in.get());
    const buffer buf{f.st.st_size};
    bool changes = false;
    if (int err = needs_change(f.in.get(), buf, changes))
        return fail(path, why(err));
    if (!changes)
        return done; // the file keeps its inode and times
    if (f.lease == lease_state::writers)
        return fail(path, "open for writing by another program; not replaced");

    // Nothing is made until it is sure that the file can be replaced with
    // all that makes it what it is, and that no one else can steer that.
    if (int err = f.at.find(path, f.st))
        return refused(path, err);
    if (int err = read_attrs(f.in.get(), f.st, f.a))
        return fail(path, why(err));
    if (int err = keep_travelling(f.a))
        return fail("/etc/xattr.conf", why(err));
    workfile work;
    if (int err = work.open_dir())
        return fail(work.where(), why(err));
    if (int err = f.at.share())
        return fail(path, why(err));
    if (int status = may_begin(f, work))
        return status;

    // The converted text, with the file's attributes, in the work file and
    // on disk before the old text is removed. Beside the file, the work
    // file has its permission bits from the start, which a file system that
    // cannot change modes then keeps; elsewhere only the caller may read it
    // while it is written.
    fd out;
    const bool beside = same_file(work.dir_stat(), f.at.dir_st);
    if (int err = work.create(out, beside ? f.a.mode & 0777 : 0600))
        return fail(work.where(), why(err));
    if (lost l = give_owner(out.get(), f.a); l.err != 0)
        return refuse(f, l, work);
    if (lseek(f.in.get(), 0, SEEK_SET) != 0)
        return fail(path, why(errno));
    if (fault e = convert(f.in.get(), out.get(), true, buf); e.err != 0)
        return fail(e.reading ? path : work.where(), why(e.err));
    missed m(f.a.xattrs.size());
    if (lost l = give_rest(out.get(), f.a, m); l.err != 0)
        return refuse(f, l, work);
    if (fsync(out.get()) != 0)
        return fail(work.where(), why(errno));
    if (int err = out.close())
        return fail(work.where(), why(err));
    writes_done();

    return replace(f, work, m, buf);
}
