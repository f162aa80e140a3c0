// SPDX-License-Identifier: ISC
#include "workfile.h"

#include "acl.h"
#include "place.h"
#include "report.h"
#include "signals.h"

#include <cstdlib>
#include <memory>
#include <tuple>

#include <fcntl.h>
#include <sys/xattr.h>

namespace eolscrub2 {

workfile::~workfile()
{
    if (state_ == state::made)
        discard(); // a failing run, which says why
}

int workfile::open_dir()
{
    std::unique_ptr<char, decltype(&std::free)> cwd{getcwd(nullptr, 0), &std::free};
    if (!cwd)
        return errno;
    dir_path_ = cwd.get();
    // Readable, so that it can be synced once the work file is in it.
    dir_ = fd{open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (!dir_.ok() || fstat(dir_.get(), &dir_st_) != 0)
        return errno;
    return statx_of(dir_.get(), "", dir_x_);
}

namespace {

// A name like mkstemp's: six letters or digits after the prefix.
std::string unique_name()
{
    static constexpr char alnum[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char r[6] = {};
    // Only fails where the kernel has no getrandom; the name is then less
    // random, and O_EXCL still makes sure it is new.
    if (getentropy(r, sizeof r) != 0)
        r[0] = static_cast<unsigned char>(getpid());
    std::string name = "eolscrub.tmp.";
    for (unsigned char b : r)
        name += alnum[b % (sizeof alnum - 1)];
    return name;
}

} // namespace

int workfile::create(fd& out, const attrs& a, bool beside)
{
    // The file's bits show it to whom the file shows itself, where it is
    // the caller's and gets the file's group: the directory's, where that
    // is set-group-ID, or the caller's. An ACL would widen them.
    const gid_t group = (dir_st_.st_mode & S_ISGID) != 0 ? dir_st_.st_gid : getegid();
    const bool like_file = beside && a.uid == geteuid() && a.gid == group && a.acl.empty();
    if (int err = make(out, like_file ? a.mode & 0777 : 0600))
        return err;
    exposure_ = like_file ? exposure::as_file : exposure::caller;
    if (!like_file)
        return 0;
    // Judged by what it shows: a file system may have given it another
    // group, or the directory a default ACL, through which these bits let
    // in more than the file does. It is still empty: made again, private.
    if (st_.st_gid == a.gid && fgetxattr(out.get(), acl_name, nullptr, 0) < 0 &&
        (errno == ENODATA || errno == ENOTSUP))
        return 0;
    if (int err = remove())
        return err;
    exposure_ = exposure::caller;
    return make(out, 0600);
}

int workfile::make(fd& out, mode_t mode)
{
    // A signal between the creation and the arming of the handler would
    // leave the file behind, so none is taken in between.
    const signals_held held;
    // In the directory held open, which is still the current one: nothing
    // in this program changes directory. The mode exactly, whatever the
    // umask: a file system that cannot change modes keeps it.
    const mode_t mask = umask(0);
    fd made;
    for (int tries = 0; tries < 100 && !made.ok(); tries++) {
        name_ = unique_name();
        made = fd{openat(dir_.get(), name_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode)};
        if (!made.ok() && errno != EEXIST)
            break;
    }
    const int err = errno;
    umask(mask);
    if (!made.ok())
        return err;
    state_ = state::made;
    for_mv_ = name_;
    remove_on_signal(dir_.get(), name_.c_str());
    if (fstat(made.get(), &st_) != 0)
        return errno;
    out = std::move(made);
    return 0;
}

int workfile::keep_private(int out)
{
    // The mode first: with no group bits, an ACL's entries grant nothing.
    const uid_t me = geteuid();
    int err = fchmod(out, 0600) == 0 ? 0 : errno;
    struct stat now {};
    if (err == 0 && fstat(out, &now) != 0)
        err = errno;
    if (err == 0 && now.st_uid != me && fchown(out, me, static_cast<gid_t>(-1)) != 0)
        err = errno;
    if (err == 0 && fstat(out, &now) != 0)
        err = errno;
    if (err == 0 && ((now.st_mode & 07077) != 0 || now.st_uid != me))
        err = EPERM;
    exposure_ = exposure::caller;
    return err;
}

void workfile::keep()
{
    state_ = state::kept;
}

int workfile::remove()
{
    // Removed and disarmed with no signal between: one after the removal
    // would have the handler remove the name again, whoever holds it by
    // then; one before the disarming, with it disarmed, would leave it.
    const signals_held held;
    state_ = state::kept;
    drop_second_name();
    int err = unlinkat(dir_.get(), name_.c_str(), 0) == 0 || errno == ENOENT ? 0 : errno;
    // Judged by what is left: mv may have taken the name already.
    if (err != 0 && !present())
        err = 0;
    remove_on_signal(-1, nullptr);
    return err;
}

void workfile::discard()
{
    if (int err = remove())
        say(name_, ": the work file could not be removed: ", why(err));
}

int workfile::add_second_name()
{
    for (int tries = 0; tries < 100; tries++) {
        std::string second = unique_name();
        if (linkat(dir_.get(), name_.c_str(), dir_.get(), second.c_str(), 0) != 0) {
            if (errno == EEXIST)
                continue;
            return errno;
        }
        for_mv_ = second;
        // Where the file system only mimics hard links, the new name is
        // another file, which a power cut would not leave with the text.
        struct stat now {};
        if (fstatat(dir_.get(), for_mv_.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0)
            return errno;
        if (same_file(now, st_))
            return 0;
        std::ignore = unlinkat(dir_.get(), for_mv_.c_str(), 0); // the file's own name is kept
        for_mv_ = name_;
        return ESTALE;
    }
    return EEXIST;
}

void workfile::drop_second_name()
{
    struct stat now {};
    // Only the file's own: in a sticky directory another user could have
    // made a file of that name once mv took it.
    if (for_mv_ != name_ && fstatat(dir_.get(), for_mv_.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        same_file(now, st_))
        std::ignore = unlinkat(dir_.get(), for_mv_.c_str(), 0); // the file's own name is named
    for_mv_ = name_;
}

bool workfile::present() const
{
    struct stat now {};
    return fstatat(dir_.get(), name_.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
           same_file(now, st_);
}

int workfile::open_for_reading(fd& text) const
{
    text = fd{openat(dir_.get(), name_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC)};
    struct stat now {};
    if (!text.ok() || fstat(text.get(), &now) != 0)
        return errno;
    return same_file(now, st_) ? 0 : ESTALE;
}

} // namespace eolscrub2
