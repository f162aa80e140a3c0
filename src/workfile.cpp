// SPDX-License-Identifier: ISC
#include "workfile.h"

#include "place.h"
#include "signals.h"

#include <cstdlib>
#include <memory>
#include <tuple>

#include <fcntl.h>

namespace eolscrub2 {

workfile::~workfile()
{
    if (made_ && !kept_)
        std::ignore = remove(); // a failing run, which says why
}

int workfile::open_dir()
{
    std::unique_ptr<char, decltype(&std::free)> cwd{getcwd(nullptr, 0), &std::free};
    if (!cwd)
        return errno;
    dir_ = cwd.get();
    // Readable, so that it can be synced once the work file is in it.
    here_ = fd{open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (!here_.ok() || fstat(here_.get(), &dir_st_) != 0)
        return errno;
    return look_closer(here_.get(), "", dir_x_);
}

int workfile::create(fd& out)
{
    // A signal between the creation and the arming of the handler would
    // leave the file behind, so none is taken in between.
    const signals_held held;
    // In the directory held open, which is still the current one: nothing
    // in this program changes directory before the commands.
    fd f{mkostemp(name_.data(), O_CLOEXEC)};
    if (!f.ok())
        return errno;
    made_ = true;
    remove_on_signal(here_.get(), name_.c_str());
    if (fstat(f.get(), &st_) != 0)
        return errno;
    out = std::move(f);
    return 0;
}

void workfile::keep()
{
    kept_ = true;
}

int workfile::remove()
{
    // Removed and disarmed with no signal between: one after the removal
    // would have the handler remove the name again, whoever holds it by
    // then; one before the disarming, with it disarmed, would leave it.
    const signals_held held;
    kept_ = true;
    drop_second_name();
    int err = unlinkat(here_.get(), name_.c_str(), 0) == 0 || errno == ENOENT ? 0 : errno;
    remove_on_signal(-1, nullptr);
    return err;
}

int workfile::pick_second_name()
{
    // Like mkostemp's: six letters or digits after the same prefix.
    static constexpr char alnum[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char r[6];
    if (getentropy(r, sizeof r) != 0)
        return errno;
    given_ = "eolscrub.tmp.";
    for (unsigned char b : r)
        given_ += alnum[b % (sizeof alnum - 1)];
    return 0;
}

int workfile::add_second_name()
{
    for (int tries = 0; tries < 100; tries++) {
        if (linkat(here_.get(), name_.c_str(), here_.get(), given_.c_str(), 0) == 0) {
            second_ = true;
            return 0;
        }
        if (errno != EEXIST)
            break;
        if (int err = pick_second_name())
            return err;
    }
    if (errno != EPERM && errno != EMLINK && errno != ENOTSUP)
        return errno;
    given_ = name_;
    return 0;
}

void workfile::drop_second_name()
{
    struct stat now {};
    if (second_ && fstatat(here_.get(), given_.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        same_file(now, st_))
        std::ignore = unlinkat(here_.get(), given_.c_str(), 0); // the file's own name is named
    second_ = false;
}

bool workfile::present() const
{
    struct stat now {};
    return fstatat(here_.get(), name_.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
           same_file(now, st_);
}

int workfile::open_for_reading(fd& f) const
{
    f = fd{openat(here_.get(), name_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC)};
    struct stat now {};
    if (!f.ok() || fstat(f.get(), &now) != 0)
        return errno;
    return same_file(now, st_) ? 0 : ESTALE;
}

} // namespace eolscrub2
