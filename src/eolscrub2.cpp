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
#include "original.h"
#include "progress.h"
#include "replace.h"
#include "report.h"
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
    if (fault f = convert(STDIN_FILENO, STDOUT_FILENO, false, buffer{}); f.err != 0)
        return fail(f.reading ? "stdin" : "stdout", why(f.err));
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
        say({": a file has no empty name"});
    else if (!link.name.empty())
        say({link.name, ": a link to ", link.text, ", where no file is"});
    else if (err != ENOENT)
        warn(path, why(err));
    // "--help", say: a name like an option, which the program has none of.
    if (path.starts_with("-"))
        say({"takes no options; usage: eolscrub2 FILE"});
    return failed;
}

// Converts the file at path in place: the run, in order. Its status.
int convert_in_place(const char* name)
{
    // The file, and whether it needs converting. The lease is taken first,
    // so that all of what is read is what is converted.
    original f;
    f.path = name;
    const std::string& path = f.path;
    // Anything but a regular file is found but not opened: a socket cannot
    // be opened at all, and opening a FIFO waits for a writer. A file that
    // is there but too large for this build's types is not "not found".
    if (int err = f.at.find(path, f.st)) {
        if (err == EPERM && !f.at.link.name.empty())
            return not_followed(f.at.link);
        return err == EOVERFLOW ? fail(path, why(err)) : missing(path, err, f.at.link);
    }
    if (!S_ISREG(f.st.st_mode))
        return fail(path, "not a regular file");
    if (int err = f.at.open(f.st, f.in))
        return err == ESTALE      ? changed(path, err)
               : err == EOVERFLOW ? fail(path, why(err))
                                  : missing(path, err, f.at.link);
    catch_signals();
    f.lease = take_lease(f.in.get());
    progress::begin(f.st.st_size);
    const buffer buf{f.st.st_size};
    const bool holes = may_have_holes(f.st);
    bool changes = false;
    if (int err = needs_change(f.in.get(), buf, changes, holes))
        return fail(path, why(err));
    if (!changes)
        return done; // the file keeps its inode and times
    if (f.lease == lease_state::writers)
        return fail(path, "open for writing by another program; not replaced");

    // Nothing is made until it is sure that the file can be replaced with
    // all that makes it what it is, and that no one else can steer that.
    if (int err = read_attrs(f.in.get(), f.st, type_of(f.in.get()), f.a))
        return fail(path, why(err));
    if (int err = keep_travelling(f.a))
        return fail(path, "/etc/xattr.conf", why(err));
    workfile work;
    if (int err = work.open_dir())
        return fail(path, "the current directory", why(err));
    if (int err = f.at.share())
        return fail(path, why(err));
    if (int status = may_begin(f, work))
        return status;

    // The converted text, with the file's attributes, in the work file and
    // on disk before the old text is removed. No one the file shuts out may
    // open it meanwhile. Beside the file, it has the file's owner from the
    // start, so that its blocks are the owner's, and the rest once written.
    // Elsewhere it is the caller's alone until the commands have put it in
    // the file's place, where it gets them again: here they are given to
    // learn that they can be, and then taken back.
    fd out;
    const bool beside = same_file(work.dir_stat(), f.at.dir_st);
    if (int err = work.create(out, f.a, beside))
        return fail(path, work.where(), why(err));
    missed m{std::vector<int>(f.a.xattrs.size())};
    give_flags(out.get(), f.a, m);
    if (lost l = beside ? give_owner(out.get(), f.a) : lost{}; l.err != 0)
        return cannot_keep(f, l, work);
    if (lseek(f.in.get(), 0, SEEK_SET) != 0)
        return fail(path, why(errno));
    progress::step("converting", 0);
    if (fault e = convert(f.in.get(), out.get(), true, buf, holes); e.err != 0)
        return e.reading ? fail(path, why(e.err)) : fail(path, work.where(), why(e.err));
    if (lost l = beside ? lost{} : give_owner(out.get(), f.a); l.err != 0)
        return cannot_keep(f, l, work);
    if (lost l = give_rest(out.get(), f.a, m); l.err != 0)
        return cannot_keep(f, l, work);
    if (beside) {
        work.as_file();
    } else if (int err = work.keep_private(out.get())) {
        say({path, ": the work file cannot be kept from others in the current directory ",
             work.dir_path(), " (", why(err), "); run it from the file's own directory"});
        return failed;
    }
    progress::step("flushing", f.st.st_size);
    if (fsync(out.get()) != 0)
        return fail(path, work.where(), why(errno));
    if (int err = out.close())
        return fail(path, work.where(), why(err));
    writes_done();

    return replace(f, work, m, buf);
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
        say({std::to_string(argc - 2), argc == 3 ? " further argument" : " further arguments",
             " ignored; convert one file per run"});
    const int status = convert_in_place(argv[1]);
    progress::erase();
    // A signal held back meanwhile ends the run now, as it would have.
    release_signals();
    return status;
}
