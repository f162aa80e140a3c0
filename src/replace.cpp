#include "replace.h"

#include "attrs.h"
#include "commands.h"
#include "report.h"
#include "signals.h"

#include <string_view>

#include <fcntl.h>

namespace eolscrub2 {

namespace {

// What the two commands left: the file under the name, and the work file.
struct outcome {
    bool converted = false; // the name holds the converted text
    bool copy = false;      // in a new file, not the work file renamed
    bool left = false;      // the work file is still there under its name
    std::string_view held;  // otherwise what the name holds, for the message
    int err = 0;            // why that is unknown
};

outcome look(const place& at, const workfile& work, bool mv_ok, const struct stat& st,
             const buffer& buf)
{
    outcome o;
    struct stat now {};
    o.err = fstatat(at.dir.get(), at.base.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
    if (o.err == 0 && same_file(now, work.stat())) {
        o.converted = true;
        return o;
    }
    const bool other = o.err == 0 && !same_file(now, st);
    o.held = o.err == ENOENT ? "no file is there now"
             : o.err != 0    ? "what is there now is unknown"
             : other         ? "another file is there now"
                             : "the original is still there";
    o.left = work.present();
    if (!o.left) {
        // mv copies across file systems and then removes its source.
        o.converted = o.copy = other || (o.err != 0 && o.err != ENOENT && mv_ok);
        return o;
    }
    if (other) {
        // A copy across file systems whose source could not be removed, or
        // a file someone else put there.
        fd copy{openat(at.dir.get(), at.base.c_str(),
                       O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
        fd ours{openat(work.dir(), work.name().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC)};
        bool same = false;
        if (copy.ok() && ours.ok() && same_bytes(copy.get(), ours.get(), buf, same) == 0 && same)
            o.converted = o.copy = true;
    }
    return o;
}

// Once the name holds the converted text: sync it where mv wrote a copy,
// give it an ACL the work file could not take, and sync the directory
// entry that names it. The run's status.
int settle(const std::string& path, const place& at, const outcome& o, const std::string& acl)
{
    int err = 0;
    fd file;
    if (o.copy || !acl.empty()) {
        file = fd{openat(at.dir.get(), at.base.c_str(),
                         O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
        if (!file.ok())
            err = errno;
    }
    if (err == 0 && !acl.empty()) {
        if (int e = restore_acl(file.get(), acl))
            say({path, ": its access control list could not be kept (", why(e),
                 "); the owning group has only its own permissions"});
    }
    if (err == 0 && o.copy && fsync(file.get()) != 0)
        err = errno;
    if (err == 0 && fsync(at.dir.get()) != 0)
        err = errno;
    if (err != 0) {
        say({path, ": converted, but it may not be on disk: ", why(err)});
        return unfinished;
    }
    return done;
}

} // namespace

int replace(const std::string& path, const struct stat& st, const place& at, workfile& work,
            const std::string& acl, const buffer& buf)
{
    // An editor may have saved a newer version meanwhile, someone swapped a
    // directory on the path or repointed a link: only the very file that
    // was read, unchanged, is replaced. What remains is the moment between
    // this look and the remove command.
    struct stat now {};
    int err = stat(path.c_str(), &now) != 0 ? errno : same_file(now, st) ? 0 : ESTALE;
    if (err == 0)
        err = at.unchanged(st);
    if (err != 0)
        return refused(path, err);
    if (!work.present())
        return fail(work.where(), "the work file changed; not replaced");

    // Made before rm runs: once it has, running out of memory must not stop
    // the move.
    const commands cmd = compose(at, work);
    defer_signals();
    work.keep();
    if (fchdir(at.dir.get()) != 0) {
        int e = errno;
        work.remove();
        warn(path, why(e));
        if (int sig = deferred_signal(0, 0))
            die(sig);
        return failed;
    }
    // If rm fails, mv still replaces the file; what they left decides.
    int removed = run_command(cmd.rm);
    int moved = run_command(cmd.mv);

    outcome o = look(at, work, moved == 0, st, buf);
    int status = done;
    if (o.converted) {
        if (o.left)
            work.remove();
        status = settle(path, at, o, acl);
    } else {
        const bool unknown = o.err != 0 && o.err != ENOENT;
        say({path, ": not replaced; ", o.held, unknown ? " (" : "", unknown ? why(o.err) : "",
             unknown ? ")" : "", "; ",
             o.left ? "the converted text is in " : "the work file is gone",
             o.left ? std::string_view(work.name()) : ""});
        status = unfinished;
    }
    if (int sig = deferred_signal(removed, moved))
        die(sig);
    return status;
}

} // namespace eolscrub2
