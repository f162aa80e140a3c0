// SPDX-License-Identifier: ISC
#include "place.h"

#include <deque>
#include <vector>

#include <fcntl.h>
#include <sys/sysmacros.h>

namespace eolscrub2 {

namespace {

// As many links as the kernel follows in one path.
constexpr int max_links = 40;

std::string join(const std::string& dir, const std::string& name)
{
    std::string p = dir;
    if (!p.empty() && p.back() != '/')
        p += '/';
    return p += name;
}

// Adds the steps of a path before those still to take; a final slash
// asks for a directory, as "." does.
void steps_of(const std::string& p, std::deque<std::string>& steps)
{
    std::vector<std::string> mine;
    for (std::size_t i = 0; i < p.size();) {
        std::size_t end = p.find('/', i);
        if (end == std::string::npos)
            end = p.size();
        if (end > i)
            mine.push_back(p.substr(i, end - i));
        i = end + 1;
    }
    if (!p.empty() && p.back() == '/')
        mine.emplace_back(".");
    steps.insert(steps.begin(), mine.begin(), mine.end());
}

// The root directory, held: through /proc/self/root where there is one,
// since under qemu-user with a system root of its own (-L) "/" names that
// one, and every step from it would go astray; the two are the same
// elsewhere, in a chroot too.
fd root()
{
    fd r{open("/proc/self/root", O_PATH | O_DIRECTORY | O_CLOEXEC)};
    return r.ok() ? std::move(r) : fd{open("/", O_PATH | O_DIRECTORY | O_CLOEXEC)};
}

// The text of the link held by l (an O_PATH descriptor). 0 or an errno.
int text_of(int l, off_t size, std::string& text)
{
    text.resize(static_cast<std::size_t>(size) + 1 > 256 ? static_cast<std::size_t>(size) + 1
                                                         : 256);
    for (;;) {
        ssize_t n = readlinkat(l, "", text.data(), text.size());
        if (n < 0)
            return errno;
        if (static_cast<std::size_t>(n) < text.size()) {
            text.resize(static_cast<std::size_t>(n));
            return 0;
        }
        text.resize(text.size() * 2);
    }
}

// What a walk reached: the directory it looked the last name up in, and
// that name, with what is there; and the directory's path, for messages
// and for a system without /proc.
struct walked {
    fd dir;
    std::string base;
    std::string dir_path;
    struct stat st {};
};

// A link being followed: judged once the steps of its text are done, by
// what they reached.
struct pending {
    std::string name;
    std::string text;
    uid_t owner;
    std::size_t left; // the steps still to take after its own
};

// Follows path one name at a time, each looked up with O_NOFOLLOW in the
// directory the step before opened, so that what is judged is what is
// used. A link is followed only where its owner is root, the caller, or
// the owner of what it leads to: anyone else could have aimed it at a
// file of theirs, and so had the caller rewrite it (as systemd's safe
// path resolution refuses such a step). 0 or an errno; EPERM with link
// set for a link not followed.
int walk(const std::string& path, walked& w, link_stop& link)
{
    if (path.empty())
        return ENOENT;
    const uid_t me = geteuid();
    std::deque<std::string> steps;
    steps_of(path, steps);
    fd here = path.front() == '/' ? root() : fd{open(".", O_PATH | O_DIRECTORY | O_CLOEXEC)};
    std::string shown = path.front() == '/' ? "/" : "";
    if (!here.ok() || fstat(here.get(), &w.st) != 0)
        return errno;
    std::vector<pending> links;
    int followed = 0;
    for (;;) {
        while (!links.empty() && links.back().left == steps.size()) {
            const pending& l = links.back();
            if (l.owner != 0 && l.owner != me && l.owner != w.st.st_uid) {
                link = {l.name, l.text, l.owner, w.st.st_uid, S_ISDIR(w.st.st_mode)};
                return EPERM;
            }
            links.pop_back();
        }
        if (steps.empty())
            return 0;
        const std::string name = std::move(steps.front());
        steps.pop_front();
        fd next{openat(here.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC)};
        struct stat st {};
        if (!next.ok() && errno == ENOENT && !links.empty()) {
            link = {links.back().name, links.back().text};
            return ENOENT;
        }
        if (!next.ok() || fstat(next.get(), &st) != 0)
            return errno;
        if (S_ISLNK(st.st_mode)) {
            std::string text;
            if (++followed > max_links)
                return ELOOP;
            if (int err = text_of(next.get(), st.st_size, text))
                return err;
            links.push_back({join(shown, name), text, st.st_uid, steps.size()});
            // Read from the link's own directory, or from the root.
            if (!text.empty() && text.front() == '/') {
                here = root();
                shown.assign(1, '/');
                if (!here.ok() || fstat(here.get(), &w.st) != 0)
                    return errno;
            }
            steps_of(text, steps);
            continue;
        }
        // "." and ".." name no entry that could be replaced.
        w.base = name == "." || name == ".." ? "" : name;
        w.dir_path = shown.empty() ? "." : shown;
        w.dir = std::move(here);
        here = std::move(next);
        w.st = st;
        // Each name a directory, not a link, so that the path leads where
        // the steps went, ".." included.
        shown = join(shown, name);
    }
}

} // namespace

int place::find(const std::string& path, struct stat& st)
{
    walked w;
    int err = walk(path, w, link);
    st = w.st;
    if (err != 0 || !S_ISREG(st.st_mode))
        return err;
    base = std::move(w.base);
    dir_path_ = std::move(w.dir_path);
    // Readable, so that it can be synced once the file is in it.
    dir = fd{openat(w.dir.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (!dir.ok() || fstat(dir.get(), &dir_st) != 0)
        return errno;
    if (int e = statx_of(dir.get(), "", dir_x))
        return e;
    if (int e = statx_of(dir.get(), base.c_str(), file_x))
        return e == ENOENT ? ESTALE : e;
    return file_x.stx_ino == st.st_ino && file_x.stx_dev_major == major(st.st_dev) &&
                   file_x.stx_dev_minor == minor(st.st_dev)
               ? 0
               : ESTALE;
}

int place::unchanged(const std::string& path, const struct stat& st) const
{
    walked w;
    link_stop l;
    if (int err = walk(path, w, l))
        return err == ENOMEM ? err : ESTALE;
    struct stat d {};
    if (fstat(w.dir.get(), &d) != 0)
        return errno;
    return same_file(d, dir_st) && w.base == base && unchanged_since(w.st, st) ? 0 : ESTALE;
}

int place::open(struct stat& st, fd& in) const
{
    // O_NONBLOCK in case the name now leads to a FIFO after all; it does
    // nothing to a regular file.
    in = fd{
        openat(dir.get(), base.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
    struct stat now {};
    if (!in.ok() || fstat(in.get(), &now) != 0)
        return errno == ELOOP ? ESTALE : errno;
    if (!same_file(now, st))
        return ESTALE;
    st = now;
    return 0;
}

int place::pass_on()
{
    // F_DUPFD leaves the copy without FD_CLOEXEC, so that it is inherited.
    shared_ = fd{fcntl(dir.get(), F_DUPFD, 3)};
    if (!shared_.ok())
        return errno;
    for_commands_ = "/proc/self/fd/" + std::to_string(shared_.get());
    struct stat st {};
    if (stat(for_commands_.c_str(), &st) != 0 || !same_file(st, dir_st))
        for_commands_ = dir_path_;
    return 0;
}

int statx_of(int dir, const char* name, struct statx& x)
{
    const int flags = *name == '\0' ? AT_EMPTY_PATH : AT_SYMLINK_NOFOLLOW;
    // Where the kernel has no statx, the C library answers from stat,
    // without the mount's id.
    return statx(dir, name, flags, STATX_BASIC_STATS | STATX_MNT_ID, &x) == 0 ? 0 : errno;
}

} // namespace eolscrub2
