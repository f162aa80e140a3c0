// SPDX-License-Identifier: ISC
#include "replace.h"

#include "commands.h"
#include "progress.h"
#include "report.h"
#include "signals.h"
#include "volume.h"

#include <cstdio>
#include <string_view>
#include <tuple>

#include <fcntl.h>
#include <sys/statvfs.h>

namespace eolscrub2 {

namespace {

// What the two commands left: the file under the name, and the work file.
struct outcome {
    bool converted = false; // the name holds the converted text
    bool copy = false;      // in a new file, not the work file renamed
    bool left = false;      // the work file is still there under its name
    fd file;                // the copy, open and leased, once it is known to be one
    std::string_view holds; // when not converted, what the name holds
    int err = 0;            // why that is unknown
};

// Whether what is at the name, open as c, is the copy mv made of the work
// file (text), which no one else can write: a new file with one link,
// owned as mv leaves it (by the work file's owner, or where mv cannot keep
// that, by the caller), holding exactly the work file's bytes. Without the
// lease, a file that another user had renamed there, mapped for writing,
// could be given the file's owner and set-ID bits, and then written. Sets
// holds where it is not.
bool mvs_copy(const run& r, int c, int text, std::string_view& holds)
{
    holds = "another file is there now";
    struct stat now {};
    if (fstat(c, &now) != 0 || !S_ISREG(now.st_mode) || same_file(now, r.st) || now.st_nlink != 1 ||
        (now.st_uid != r.a.uid && now.st_uid != geteuid()))
        return false;
    if (take_lease(c) == lease_state::writers) {
        holds = "another program has the file there now open for writing";
        return false;
    }
    bool same = false;
    return lseek(text, 0, SEEK_SET) == 0 && same_bytes(c, text, r.buf, same) == 0 && same;
}

// Success is judged only on evidence: the name holds the work file itself,
// or a copy that is provably mv's, as where it must copy across file
// systems, or wherever the kernel refuses the rename.
outcome what_is_left(const run& r, int text)
{
    const place& at = r.at;
    outcome o;
    o.left = r.work.present();
    struct stat now {};
    o.err = fstatat(at.dir.get(), at.base.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
    if (o.err == 0 && same_file(now, r.work.stat())) {
        o.converted = true;
        return o;
    }
    const bool other = o.err == 0 && !same_file(now, r.st);
    o.holds = o.err == ENOENT ? "no file is there now"
              : o.err != 0    ? "what is there now is unknown"
              : other         ? "another file is there now"
                              : "the original is still there";
    if (other && S_ISREG(now.st_mode)) {
        // O_NONBLOCK: it may have become a FIFO since.
        o.file = fd{openat(at.dir.get(), at.base.c_str(),
                           O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
        if (o.file.ok() && mvs_copy(r, o.file.get(), text, o.holds)) {
            o.converted = o.copy = true;
            return o;
        }
        o.file = fd{};
    }
    return o;
}

// Once the name holds the converted text: give it the file's attributes,
// exactly, where it lacks them (a copy mv made, or the work file kept
// private until now), and say which it cannot have; sync it where it was
// written or given them, and the directory entry that names it; only then
// remove the work file's own name. text is the work file, open. The run's
// status.
int finish(run& r, outcome& o, int text)
{
    const std::string& path = r.path;
    workfile& work = r.work;
    const std::string_view also = o.left ? "; the converted text is also in " : "";
    const std::string_view left = o.left ? std::string_view(work.name()) : "";
    const bool give = o.copy || work.exposed() == exposure::caller;
    const int file = o.copy ? o.file.get() : text;
    if (give) {
        // mv gave a copy what it could, as this user, and a change of owner
        // after a file capability clears it.
        failure e = give_owner(file, r.a);
        if (e.err == 0)
            e = give_rest(file, r.a, r.m);
        // mv copies no inode flags; the work file kept its own.
        if (o.copy)
            give_flags(file, r.a, r.m);
        if (e.err != 0) {
            say(path, ": converted, but its ", noun(e.what), e.what == about::xattr ? " " : "",
                e.name, " could not be kept: ", why(e.err), also, left);
            return unfinished;
        }
    }
    warn_missed(path, r.a, r.m);
    int err = 0;
    if (give && fsync(file) != 0)
        err = errno;
    if (err == 0 && fsync(r.at.dir.get()) != 0)
        err = errno;
    if (err != 0) {
        say(path, ": converted, but it may not be on disk: ", why(err), also, left);
        return unfinished;
    }
    // Whether or not a look saw it: no one else may rename the work file
    // where it was made, so the name is still its own.
    if (int e = work.remove()) {
        say(path, ": converted, but the work file could not be removed (", why(e),
            "); the converted text is also in ", work.name());
        return unfinished;
    }
    if (!lease_kept(r.in.get(), r.lease)) {
        // Held back by the lease until now, it writes to the old file.
        say(path, ": converted, but another program opened the old file for writing meanwhile");
        return unfinished;
    }
    return done;
}

// For a work file left private: what it must be given by hand, where the
// line that names it tells the user to put it in place.
std::string by_hand(const run& r)
{
    if (r.work.exposed() != exposure::caller)
        return {};
    char mode[8];
    std::ignore = std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(r.a.mode)); // fits
    // By number: names would cost every run from another directory the
    // loading of the name services.
    return "; the work file is yours alone: give it owner " + std::to_string(r.a.uid) + ":" +
           std::to_string(r.a.gid) + " and mode " + mode + " as you put it in place";
}

// Gives up before rm: the work file removed, then the run ends as a signal
// that came meanwhile would have ended it.
int abandon(workfile& work, int status)
{
    work.discard();
    if (int sig = deferred_signal(0, 0))
        die(sig);
    return status;
}

// Where mv copies, across file systems or where the kernel refuses the
// rename, it removes the name it is given before its copy is on disk:
// it is given a second name, and both are made durable before the old
// text goes. Where it renames, the work file's own name is all it needs.
// 0 or the status, the work file given up.
int second_name(run& r, int text)
{
    workfile& work = r.work;
    if (renames(text, work.dir_statx(), r.at.dir.get(), r.at.dir_x))
        return 0;
    // mv's copy needs room beside the old file, whose blocks stay taken
    // while the run holds it open: short of it, mv would leave a part of
    // a copy under the name once rm has run. (A quota it cannot see.)
    struct statvfs v {};
    struct stat text_st {};
    if (fstatvfs(r.at.dir.get(), &v) == 0 && fstat(text, &text_st) == 0) {
        const unsigned long long room =
            static_cast<unsigned long long>(geteuid() == 0 ? v.f_bfree : v.f_bavail) * v.f_frsize;
        const unsigned long long needs =
            static_cast<unsigned long long>(text_st.st_size) + (64 << 10);
        if (room < needs) {
            say(r.path, ": its file system has room for ", std::to_string(room),
                " bytes, and mv's copy of the work file would take ", std::to_string(needs),
                " beside the old file; free some, or run it from the file's own directory");
            return abandon(work, failed);
        }
    }
    int err = work.add_second_name();
    if (err == EPERM || err == EMLINK || err == ENOTSUP || err == ESTALE) {
        say(r.path, ": the work file can have no second name in the current directory ",
            work.dir_path(), " (", err == ESTALE ? "a hard link is another file" : why(err),
            "), without which a power cut while mv copies it could lose the text; run it from "
            "the file's own directory");
        return abandon(work, failed);
    }
    if (err == 0 && fsync(work.dir()) != 0)
        err = errno;
    if (err != 0) {
        std::ignore = fail(r.path, work.where(), why(err));
        return abandon(work, failed);
    }
    return 0;
}

// The last looks before rm. An editor may have saved a newer version
// meanwhile, someone swapped a directory on the path or repointed a link:
// only the very file that was read, unchanged, is replaced, and only by
// the work file. What remains is the moment between these looks and the
// remove command. 0 or the status, the work file given up.
int last_looks(run& r, const std::string& target)
{
    const std::string& path = r.path;
    workfile& work = r.work;
    struct stat now {};
    int err = r.at.unchanged(path, r.st);
    if (err == 0)
        err = lstat(target.c_str(), &now) != 0 ? errno : same_file(now, r.st) ? 0 : ESTALE;
    if (err != 0) {
        std::ignore = changed(path, err);
        return abandon(work, failed);
    }
    if (!lease_kept(r.in.get(), r.lease)) {
        std::ignore = fail(path, "opened for writing by another program; not replaced");
        return abandon(work, failed);
    }
    const bool second = work.for_mv() != work.name();
    if ((second && (fstatat(work.dir(), work.for_mv().c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
                    !same_file(now, work.stat()))) ||
        !work.present()) {
        std::ignore = fail(path, "the work file changed; not replaced");
        return abandon(work, failed);
    }
    return 0;
}

} // namespace

int replace(run& r)
{
    const std::string& path = r.path;
    workfile& work = r.work;
    fd text;
    if (int err = work.open_for_reading(text))
        return err == ESTALE ? fail(path, "the work file changed; not replaced")
                             : fail(path, work.where(), why(err));
    defer_signals();
    work.keep();
    if (int status = second_name(r, text.get()))
        return status;
    // Everything the commands need is made now: once rm has run, running
    // out of memory must not stop the move.
    const commands cmd = compose(r.at, work);
    const std::string target = r.at.for_commands() + "/" + r.at.base;
    const std::string hand = by_hand(r);
    if (int status = last_looks(r, target))
        return status;

    progress::step("replacing", r.st.st_size);
    // If rm fails, mv still replaces the file; what they left decides.
    int removed = run_command(cmd.rm);
    int moved = run_command(cmd.mv);

    outcome o = what_is_left(r, text.get());
    work.drop_second_name();
    int status = done;
    if (o.converted) {
        status = finish(r, o, text.get());
    } else {
        const bool unknown = o.err != 0 && o.err != ENOENT;
        say(path, ": not replaced; ", o.holds, unknown ? " (" : "", unknown ? why(o.err) : "",
            unknown ? ")" : "", o.left ? std::string_view(hand) : "", "; ",
            o.left ? "the converted text is in " : "the work file is gone",
            o.left ? std::string_view(work.name()) : "");
        status = unfinished;
    }
    if (int sig = deferred_signal(removed, moved))
        die(sig);
    return status;
}

} // namespace eolscrub2
