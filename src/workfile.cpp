#include "workfile.h"

#include "signals.h"

#include <csignal>
#include <cstdlib>
#include <memory>
#include <tuple>

#include <fcntl.h>

namespace eolscrub2 {

workfile::~workfile()
{
    if (made_ && !kept_)
        remove();
}

int workfile::create(fd& out)
{
    std::unique_ptr<char, decltype(&std::free)> cwd{getcwd(nullptr, 0), &std::free};
    if (!cwd)
        return errno;
    dir_ = cwd.get();
    here_ = fd{open(".", O_PATH | O_DIRECTORY | O_CLOEXEC)};
    if (!here_.ok())
        return errno;
    // A signal between the creation and the arming of the handler would
    // leave the file behind, so none is taken in between.
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    std::ignore = sigprocmask(SIG_BLOCK, &all, &old); // cannot fail
    fd f{mkostemp(name_.data(), O_CLOEXEC)};
    int err = f.ok() ? 0 : errno;
    if (f.ok()) {
        made_ = true;
        remove_on_signal(name_.c_str());
        if (fstat(f.get(), &st_) != 0)
            err = errno;
    }
    std::ignore = sigprocmask(SIG_SETMASK, &old, nullptr);
    if (err == 0)
        out = std::move(f);
    return err;
}

void workfile::keep()
{
    kept_ = true;
}

void workfile::remove()
{
    remove_on_signal(nullptr);
    kept_ = true;
    std::ignore = unlinkat(here_.get(), name_.c_str(), 0); // a failing run says why
}

bool workfile::present() const
{
    struct stat now {};
    return fstatat(here_.get(), name_.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
           same_file(now, st_);
}

} // namespace eolscrub2
