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
#include "progress.h"
#include "replace.h"
#include "report.h"
#include "run.h"
#include "signals.h"
#include "volume.h"
#include "workfile.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

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
    if (failure e = convert(STDIN_FILENO, STDOUT_FILENO, false, buffer{-1}); e.err != 0)
        return fail(e.what == about::file ? "stdin" : "stdout", why(e.err));
    // A write to a file on NFS can fail only at the close.
    if (close(STDOUT_FILENO) != 0)
        return fail("stdout", why(errno));
    return done;
}

// The file cannot be opened: "file not found" on standard output, which
// callers may read; and where that is not all (the name is there, or
// empty), why, on standard error as any failure.
int missing(const std::string& path, int err, const link_stop& link)
{
    std::ignore = std::puts("file not found"); // the status says it anyway
    if (path.empty())
        say(": a file has no empty name");
    else if (!link.name.empty())
        say(link.name, ": a link to ", link.text, ", where no file is");
    else if (err != ENOENT)
        warn(path, why(err));
    // "--help", say: a name like an option, which the program has none of.
    if (path.starts_with("-"))
        say("takes no options; usage: eolscrub2 FILE");
    return failed;
}

// The file, found and opened for reading, leased, with a buffer for it.
// Anything but a regular file is found but not opened: a socket cannot be
// opened at all, and opening a FIFO waits for a writer. A file that is
// there but too large for this build's types is not "not found". 0 or the
// status.
int open_file(run& r)
{
    const std::string& path = r.path;
    if (int err = r.at.find(path, r.st)) {
        if (err == EPERM && !r.at.link.name.empty())
            return not_followed(r.at.link);
        return err == EOVERFLOW ? fail(path, why(err)) : missing(path, err, r.at.link);
    }
    if (!S_ISREG(r.st.st_mode))
        return fail(path, "not a regular file");
    if (int err = r.at.open(r.st, r.in))
        return err == ESTALE      ? changed(path, err)
               : err == EOVERFLOW ? fail(path, why(err))
                                  : missing(path, err, r.at.link);
    catch_signals();
    // The lease first, so that all of what is read is what is converted.
    r.lease = take_lease(r.in.get());
    progress::begin(r.st.st_size);
    // Read once, front to back: a file of some size is read ahead further.
    if (r.st.st_size >= flush_every)
        std::ignore = posix_fadvise(r.in.get(), 0, 0, POSIX_FADV_SEQUENTIAL); // only advice
    r.buf = buffer{r.st.st_size};
    r.holes = may_have_holes(r.st);
    return 0;
}

// What the file has beside its bytes, and where the work file will be.
// 0 or the status.
int look_around(run& r)
{
    const std::string& path = r.path;
    if (int err = read_attrs(r.in.get(), r.st, type_of(r.in.get()), r.a))
        return fail(path, why(err));
    if (int err = keep_travelling(r.a))
        return fail(path, "/etc/xattr.conf", why(err));
    r.m.xattrs.resize(r.a.xattrs.size());
    if (int err = r.work.open_dir())
        return fail(path, "the current directory", why(err));
    if (int err = r.at.pass_on())
        return fail(path, why(err));
    return 0;
}

// The converted text, with the file's attributes, in the work file and on
// disk before the old text is removed. No one the file shuts out may open
// it meanwhile. Beside the file, it has the file's owner from the start,
// so that its blocks are the owner's, and the rest once written. Elsewhere
// it is the caller's alone until the commands have put it in the file's
// place, where it gets them again: here they are given to learn that they
// can be, and then taken back. 0 or the status.
int write_work_file(run& r)
{
    const std::string& path = r.path;
    workfile& work = r.work;
    fd out;
    const bool beside = same_file(work.dir_stat(), r.at.dir_st);
    if (int err = work.create(out, r.a, beside))
        return fail(path, work.where(), why(err));
    give_flags(out.get(), r.a, r.m);
    if (failure e = beside ? give_owner(out.get(), r.a) : failure{}; e.err != 0)
        return cannot_keep(r, e);
    if (lseek(r.in.get(), 0, SEEK_SET) != 0)
        return fail(path, why(errno));
    progress::step("converting", 0);
    // On tmpfs there is no disk to start writing to; the early write-back
    // would walk every page for nothing, and cost a tenth of the run.
    const bool to_disk = r.st.st_size >= flush_every && !in_memory(type_of(out.get()));
    if (failure e = convert(r.in.get(), out.get(), to_disk, r.buf, r.holes); e.err != 0)
        return e.what == about::file ? fail(path, why(e.err))
                                     : fail(path, work.where(), why(e.err));
    if (failure e = beside ? failure{} : give_owner(out.get(), r.a); e.err != 0)
        return cannot_keep(r, e);
    if (failure e = give_rest(out.get(), r.a, r.m); e.err != 0)
        return cannot_keep(r, e);
    if (beside) {
        work.as_file();
    } else if (int err = work.keep_private(out.get())) {
        say(path, ": the work file cannot be kept from others in the current directory ",
            work.dir_path(), " (", why(err), "); run it from the file's own directory");
        return failed;
    }
    progress::step("flushing", r.st.st_size);
    if (fsync(out.get()) != 0)
        return fail(path, work.where(), why(errno));
    if (int err = out.close())
        return fail(path, work.where(), why(err));
    writes_done();
    return 0;
}

// Converts the file at path in place: the run, in order. Its status.
int convert_in_place(const char* path)
{
    run r;
    r.path = path;
    if (int status = open_file(r))
        return status;
    bool changes = false;
    if (int err = needs_change(r.in.get(), r.buf, changes, r.holes))
        return fail(r.path, why(err));
    if (!changes)
        return done; // the file keeps its inode and times
    if (r.lease == lease_state::writers)
        return fail(r.path, "open for writing by another program; not replaced");
    // Nothing is made until it is sure that the file can be replaced with
    // all that makes it what it is, and that no one else can steer that.
    if (int status = look_around(r))
        return status;
    if (int status = may_begin(r))
        return status;
    if (int status = write_work_file(r))
        return status;
    return replace(r);
}

} // namespace

int main(int argc, char** argv)
{
    // A caller that ignores SIGCHLD (some daemons and language runtimes)
    // passes that on, and system(3) could then not learn how a command ended.
    std::ignore = std::signal(SIGCHLD, SIG_DFL); // cannot fail
    if (argc < 2)
        return filter();
    if (argc > 2) // a warning: the run goes on
        say(std::to_string(argc - 2), argc == 3 ? " further argument" : " further arguments",
            " ignored; convert one file per run");
    const int status = convert_in_place(argv[1]);
    progress::erase();
    // A signal held back meanwhile ends the run now, as it would have.
    release_signals();
    return status;
}
