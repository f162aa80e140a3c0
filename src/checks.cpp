// SPDX-License-Identifier: ISC
#include "checks.h"

#include "acl.h"
#include "io.h"
#include "report.h"
#include "userns.h"
#include "volume.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <tuple>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace eolscrub2 {

namespace {

// Why a run is refused before anything is made. Each check says which;
// refuse() says it.
enum class refusal {
    none,
    cannot_replace,     // detail: why this user may not
    immutable,          // the file, its directory, or the current one
    append_only,        // the same
    mount_point,        // the file
    others_may_change,  // the current directory
    owner_could_rename, // the work file, in the sticky current directory
    encryption,         // the current directory's, which the file has not
    relative_entry,     // in PATH, detail: which
};

// Which of the three is refused: the file, its directory, or the current
// directory.
enum class where { file, dir, cwd };

// Every refusal's line, in one place: the file as given, why, and where
// the current directory is the reason, which it is.
int refuse(const run& r, refusal why_not, where at = where::file, std::string_view detail = {})
{
    const std::string& path = r.path;
    const std::string& cwd = r.work.dir_path();
    const std::string_view what = why_not == refusal::immutable ? "immutable" : "append-only";
    switch (why_not) {
    case refusal::none:
        return 0;
    case refusal::cannot_replace:
        say(path, ": cannot be replaced: ", detail);
        break;
    case refusal::immutable:
    case refusal::append_only:
        if (at == where::cwd)
            say(path, ": the current directory ", cwd, " is ", what,
                "; run it from another directory");
        else
            say(path, ": cannot be replaced: ", at == where::dir ? "its directory is " : "it is ",
                what);
        break;
    case refusal::mount_point:
        say(path, ": cannot be replaced: it is a mount point");
        break;
    case refusal::others_may_change:
        say(path, ": others may change the current directory ", cwd,
            "; run it from one only you can write");
        break;
    case refusal::owner_could_rename:
        say(path, ": its owner could rename the work file in the sticky current directory ", cwd,
            "; run it from one only you can write");
        break;
    case refusal::encryption:
        say(path, ": the work file would bring the encryption of the current directory ", cwd,
            " into the file's place, which the file has not; run it from the file's own directory");
        break;
    case refusal::relative_entry:
        say(path, ": PATH has ",
            detail.empty() ? std::string("an empty entry")
                           : "the relative entry " + std::string(detail),
            ", and others may write the current directory ", cwd,
            ", where rm and mv would be looked for; remove it from PATH");
        break;
    }
    return failed;
}

// What the kernel refuses to remove or rename whatever the permission
// bits say: an immutable or append-only file or directory (chattr), and a
// file that is a mount point, such as one bind-mounted into a container.
refusal locked(const struct statx& x, where at)
{
    const auto has = [&](unsigned long long attr) {
        return (x.stx_attributes_mask & x.stx_attributes & attr) != 0;
    };
    return has(STATX_ATTR_IMMUTABLE)                         ? refusal::immutable
           : has(STATX_ATTR_APPEND)                          ? refusal::append_only
           : at == where::file && has(STATX_ATTR_MOUNT_ROOT) ? refusal::mount_point
                                                             : refusal::none;
}

// Whether every source of users and groups that /etc/nsswitch.conf names
// can be listed whole: the files, and systemd's own users. LDAP, SSSD,
// winbind or NIS may know of members that no listing shows.
bool listable()
{
    std::string conf;
    // Without the file the C library reads the files alone.
    if (int err = read_file("/etc/nsswitch.conf", conf))
        return err == ENOENT;
    std::istringstream lines(conf);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line.substr(0, line.find('#')));
        std::string db;
        if (!(words >> db) || (db != "passwd:" && db != "group:"))
            continue;
        for (std::string source; words >> source;) {
            // [NOTFOUND=return] and the like say what to do, not where to look.
            if (source.front() != '[' && source != "files" && source != "systemd")
                return false;
        }
    }
    return true;
}

// Whether a group's password field holds a password that newgrp and sg
// would take: empty, "x" (kept in /etc/gshadow) and locked ones do not.
bool has_password(const std::string& field)
{
    return !field.empty() && field != "x" && field.front() != '!' && field.front() != '*';
}

bool only(const std::string& owner, const std::string& names)
{
    std::istringstream list(names);
    for (std::string n; std::getline(list, n, ',');) {
        if (!n.empty() && n != owner)
            return false;
    }
    return true;
}

// Whether /etc/gshadow agrees that the groups named are owner's alone: no
// password to join them with, no other member or administrator. A user
// cannot read it, and has /etc/group to go by.
bool shadow_agrees(const std::vector<std::string>& names, const std::string& owner)
{
    std::string text;
    if (int err = read_file("/etc/gshadow", text))
        return err == ENOENT || err == EACCES;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> field;
        std::istringstream parts(line);
        for (std::string f; std::getline(parts, f, ':');)
            field.push_back(f);
        field.resize(4);
        if (std::find(names.begin(), names.end(), field[0]) == names.end())
            continue;
        if (has_password(field[1]) || !only(owner, field[2]) || !only(owner, field[3]))
            return false;
    }
    return true;
}

// Whether the directory's group is its owner's alone: every entry of that
// group, and every user whose primary group it is, says so, and no one
// can join it by a password, as OpenSSH asks of a private group per user.
bool owners_alone(const struct stat& dir)
{
    const passwd* p = getpwuid(dir.st_uid);
    if (p == nullptr || !listable())
        return false;
    const std::string owner = p->pw_name;
    std::vector<std::string> names;
    bool alone = true;
    // A group may have more than one entry (groupadd -o): each counts.
    setgrent();
    for (const group* g; (g = getgrent()) != nullptr;) {
        if (g->gr_gid != dir.st_gid)
            continue;
        names.emplace_back(g->gr_name);
        alone = alone && !has_password(g->gr_passwd);
        for (char** m = g->gr_mem; *m != nullptr; m++)
            alone = alone && owner == *m;
    }
    endgrent();
    setpwent();
    while ((p = getpwent()) != nullptr)
        alone = alone && (p->pw_gid != dir.st_gid || p->pw_uid == dir.st_uid);
    endpwent();
    return alone && !names.empty() && shadow_agrees(names, owner);
}

// Whether the directory has an ACL that names users or groups: its mode's
// group bits are then the ACL's mask, which bounds them all.
bool names_others(int d)
{
    std::string acl(4096, '\0');
    ssize_t n = fgetxattr(d, acl_name, acl.data(), acl.size());
    acl.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    return (n < 0 && errno != ENODATA && errno != ENOTSUP) || acl_names_anyone(acl);
}

// Whether a user other than the caller, or root, may make entries in the
// directory d: its owner, others, or its group where that is not its
// owner's alone (an ACL that grants it shows in the group bits).
bool others_may_write(int d, const struct stat& dir)
{
    const uid_t me = geteuid();
    if ((dir.st_uid != me && dir.st_uid != 0) || (dir.st_mode & S_IWOTH) != 0)
        return true;
    return (dir.st_mode & S_IWGRP) != 0 && (names_others(d) || !owners_alone(dir));
}

// The first entry of PATH that is empty or relative: the shell would look
// for rm and mv in the current directory, or below it. nullopt for none.
std::optional<std::string> relative_entry()
{
    const char* path = std::getenv("PATH");
    if (path == nullptr)
        return std::nullopt;
    std::istringstream entries(std::string(path) + ":");
    for (std::string e; std::getline(entries, e, ':');) {
        if (e.empty() || e.front() != '/')
            return e;
    }
    return std::nullopt;
}

// Whether another user could rename or remove the work file's names in
// the current directory (dir, open as d), and so swap what mv moves, or
// what a message names, for a file of their own. owner is the file's,
// which the work file is to have. Allowed are a directory that only the
// caller or root owns and no one else may write (its group may, where the
// group has no member but its owner, as with a private group per user), a
// sticky one owned by either, such as /tmp, where the work file is the
// caller's own, and the file's own directory (file_dir), since whoever
// may change that could replace the file anyway.
refusal others_may_change(int d, const struct stat& dir, const struct stat& file_dir, uid_t owner)
{
    const uid_t me = geteuid();
    if ((dir.st_mode & S_ISVTX) != 0) {
        // Only an entry's owner, the directory's and root may rename or
        // remove it, and the work file's names belong to the file's owner.
        if (dir.st_uid != me && dir.st_uid != 0)
            return refusal::others_may_change;
        return owner == me ? refusal::none : refusal::owner_could_rename;
    }
    if (same_file(dir, file_dir))
        return refusal::none;
    return others_may_write(d, dir) ? refusal::others_may_change : refusal::none;
}

// Whether this user may remove the file (st) from its directory and put
// another under its name there: write and search permission, and in a
// sticky directory, owning the file or the directory. 0 or an errno.
int may_replace(const place& at, const struct stat& st)
{
    // EROFS too, for a file system mounted read-only.
    if (faccessat(at.dir.get(), ".", W_OK | X_OK, AT_EACCESS) != 0)
        return errno;
    // Root may remove anyone's file from a sticky directory.
    const uid_t me = geteuid();
    if ((at.dir_st.st_mode & S_ISVTX) != 0 && me != 0 && st.st_uid != me && at.dir_st.st_uid != me)
        return EACCES;
    return 0;
}

// Renamed into place, a work file made in an encrypted directory keeps
// that directory's key: the file would become readable only while the key
// is loaded. The kernel lets such a rename happen (into a directory that
// is not encrypted), so it is refused here. 0 or an errno.
int brings_encryption(const run& r, bool& brings)
{
    const workfile& work = r.work;
    brings = false;
    if (!encrypted(work.dir_statx()) || encrypted(r.at.dir_x) ||
        !same_mount(work.dir_statx(), r.at.dir_x) || same_file(work.dir_stat(), r.at.dir_st))
        return 0;
    std::string ours, theirs;
    int err = policy_of(work.dir(), ours);
    if (err == 0)
        err = policy_of(r.in.get(), theirs);
    brings = ours != theirs;
    return err;
}

// Whether the owner a local work file cannot take is one that the file's
// volume gives every file, as FAT, exFAT and NTFS without a user mapping
// do, and FUSE file systems such as sshfs: a work file made in the file's
// own directory would show it too. Judged by the directory, which shows
// the file's owner and group, and by the kind of file system.
bool volume_owns(const run& r)
{
    if (same_mount(r.work.dir_statx(), r.at.dir_x) || r.at.dir_st.st_uid != r.a.uid ||
        r.at.dir_st.st_gid != r.a.gid)
        return false;
    return invents_owners(type_of(r.at.dir.get()));
}

} // namespace

int may_begin(const run& r)
{
    const place& at = r.at;
    const workfile& work = r.work;
    if (int err = may_replace(at, r.st))
        return refuse(r, refusal::cannot_replace, where::file, why(err));
    // refuse() gives 0 for refusal::none.
    if (int s = refuse(r, locked(at.file_x, where::file), where::file))
        return s;
    if (int s = refuse(r, locked(at.dir_x, where::dir), where::dir))
        return s;
    if (int s = refuse(r, others_may_change(work.dir(), work.dir_stat(), at.dir_st, r.a.uid)))
        return s;
    // A work file could be made there, but never moved or removed.
    if (int s = refuse(r, locked(work.dir_statx(), where::cwd), where::cwd))
        return s;
    bool brings = false;
    if (int err = brings_encryption(r, brings))
        return fail(r.path, why(err));
    if (brings)
        return refuse(r, refusal::encryption);
    // Where others may put programs, the shell must not look there for rm
    // and mv, as find -execdir refuses to.
    if (auto entry = relative_entry(); entry && others_may_write(work.dir(), work.dir_stat()))
        return refuse(r, refusal::relative_entry, where::cwd, *entry);
    if (failure e = unmapped(r.a); e.err != 0)
        return cannot_keep(r, e);
    return 0;
}

int cannot_keep(const run& r, const failure& e)
{
    if (e.what == about::work)
        return fail(r.path, r.work.where(), why(e.err));
    const attrs& a = r.a;
    // The owner and group by name, as ls shows them, and the mode as
    // chmod takes it.
    char mode[8];
    std::ignore = std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(a.mode)); // fits
    const std::string which = e.what == about::owner   ? user_name(a.uid)
                              : e.what == about::group ? group_name(a.gid)
                              : e.what == about::mode  ? std::string(mode)
                                                       : std::string(e.name);
    const bool named = e.what == about::xattr;
    const bool owner = e.what == about::owner || e.what == about::group;
    say(r.path, ": its ", noun(e.what),
        which.empty() ? ""
        : named       ? " "
                      : " (",
        which, which.empty() || named ? "" : ")",
        " cannot be kept: ", e.reason != nullptr ? e.reason : why(e.err), "; not replaced",
        owner && e.reason == nullptr && volume_owns(r)
            ? "; run it from the file's own directory, whose volume gives every file this owner"
            : "");
    return failed;
}

int not_followed(const link_stop& l)
{
    say(l.name, ": a link of user ", user_name(l.owner), " to a ", l.to_dir ? "directory" : "file",
        " of ", user_name(l.target_owner), "; not followed");
    return failed;
}

} // namespace eolscrub2
