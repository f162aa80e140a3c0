// SPDX-License-Identifier: ISC
#include "checks.h"

#include "acl.h"
#include "fd.h"
#include "owner.h"
#include "report.h"
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

// What the kernel refuses to remove or rename whatever the permission
// bits say: an immutable or append-only file or directory (chattr), and a
// file that is a mount point, such as one bind-mounted into a container.
const char* locked(const struct statx& x, bool file)
{
    const auto has = [&](unsigned long long attr) {
        return (x.stx_attributes_mask & x.stx_attributes & attr) != 0;
    };
    return has(STATX_ATTR_IMMUTABLE)            ? "immutable"
           : has(STATX_ATTR_APPEND)             ? "append-only"
           : file && has(STATX_ATTR_MOUNT_ROOT) ? "a mount point"
                                                : nullptr;
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

// Whether the owner a local work file cannot take is one that the file's
// volume gives every file, as FAT, exFAT and NTFS without a user mapping
// do, and FUSE file systems such as sshfs: a work file made in the file's
// own directory would show it too. Judged by the directory, which shows
// the file's owner and group, and by the kind of file system.
bool volume_owns(const original& f, const workfile& work)
{
    if (same_mount(work.dir_statx(), f.at.dir_x) || f.at.dir_st.st_uid != f.a.uid ||
        f.at.dir_st.st_gid != f.a.gid)
        return false;
    return invents_owners(type_of(f.at.dir.get()));
}

} // namespace

const char* others_may_change(int d, const struct stat& dir, const struct stat& file_dir,
                              uid_t owner)
{
    const uid_t me = geteuid();
    const char* others = "others may change the current directory";
    if ((dir.st_mode & S_ISVTX) != 0) {
        // Only an entry's owner, the directory's and root may rename or
        // remove it, and the work file's names belong to the file's owner.
        if (dir.st_uid != me && dir.st_uid != 0)
            return others;
        return owner == me ? nullptr
                           : "its owner could rename the work file in the sticky current "
                             "directory";
    }
    if (same_file(dir, file_dir))
        return nullptr;
    if (dir.st_uid != me && dir.st_uid != 0)
        return others;
    return others_may_write(d, dir) ? others : nullptr;
}

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

int may_begin(const original& f, const workfile& work)
{
    const std::string& path = f.path;
    const place& at = f.at;
    const char* cannot = "cannot be replaced: ";
    if (int err = may_replace(at, f.st)) {
        say({path, ": ", cannot, why(err)});
        return failed;
    }
    if (const char* what = locked(at.file_x, true)) {
        say({path, ": ", cannot, "it is ", what});
        return failed;
    }
    if (const char* what = locked(at.dir_x, false)) {
        say({path, ": ", cannot, "its directory is ", what});
        return failed;
    }
    const std::string& cwd = work.dir_path();
    if (const char* reason = others_may_change(work.dir(), work.dir_stat(), at.dir_st, f.a.uid)) {
        say({path, ": ", reason, " ", cwd, "; run it from one only you can write"});
        return failed;
    }
    // A work file could be made there, but never moved or removed.
    if (const char* what = locked(work.dir_statx(), false)) {
        say({path, ": the current directory ", cwd, " is ", what,
             "; run it from another directory"});
        return failed;
    }
    // Renamed into place, a work file made in an encrypted directory keeps
    // that directory's key: the file would become readable only while the
    // key is loaded. The kernel lets such a rename happen (into a directory
    // that is not encrypted), so it is refused here.
    if (encrypted(work.dir_statx()) && !encrypted(at.dir_x) &&
        same_mount(work.dir_statx(), at.dir_x) && !same_file(work.dir_stat(), at.dir_st)) {
        std::string ours, theirs;
        int err = policy_of(work.dir(), ours);
        if (err == 0)
            err = policy_of(f.in.get(), theirs);
        if (err != 0)
            return fail(path, why(err));
        if (ours != theirs) {
            say({path, ": the work file would bring the encryption of the current directory ", cwd,
                 " into the file's place, which the file has not; run it from the file's own "
                 "directory"});
            return failed;
        }
    }
    // Where others may put programs, the shell must not look there for rm
    // and mv, as find -execdir refuses to.
    if (auto entry = relative_entry(); entry && others_may_write(work.dir(), work.dir_stat())) {
        say({path, ": ",
             entry->empty() ? std::string("PATH has an empty entry")
                            : "PATH has the relative entry " + *entry,
             ", and others may write the current directory ", cwd,
             ", where rm and mv would be looked for; remove it from PATH"});
        return failed;
    }
    if (lost l = unmapped(f.a); l.err != 0)
        return cannot_keep(f, l, work);
    return 0;
}

int cannot_keep(const original& f, const lost& l, const workfile& work)
{
    if (l.what == attr::none)
        return fail(f.path, work.where(), why(l.err));
    const attrs& a = f.a;
    // The owner and group by name, as ls shows them, and the mode as
    // chmod takes it.
    char mode[8];
    std::ignore = std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(a.mode)); // fits
    const std::string which = l.what == attr::owner   ? user_name(a.uid)
                              : l.what == attr::group ? group_name(a.gid)
                              : l.what == attr::mode  ? std::string(mode)
                                                      : std::string(l.name);
    const bool named = l.what == attr::xattr;
    const bool owner = l.what == attr::owner || l.what == attr::group;
    say({f.path, ": its ", noun(l.what),
         which.empty() ? ""
         : named       ? " "
                       : " (",
         which, which.empty() || named ? "" : ")",
         " cannot be kept: ", l.reason != nullptr ? l.reason : why(l.err), "; not replaced",
         owner && l.reason == nullptr && volume_owns(f, work)
             ? "; run it from the file's own directory, whose volume gives every file this owner"
             : ""});
    return failed;
}

int not_followed(const link_stop& l)
{
    say({l.name, ": a link of user ", user_name(l.owner), " to a ", l.to_dir ? "directory" : "file",
         " of ", user_name(l.target_owner), "; not followed"});
    return failed;
}

} // namespace eolscrub2
