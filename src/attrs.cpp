// SPDX-License-Identifier: ISC
#include "attrs.h"

#include "acl.h"
#include "io.h"
#include "report.h"
#include "volume.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <sstream>

#include <fcntl.h>
#include <fnmatch.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace eolscrub2 {

namespace {

// Fills s through get(buffer, size), which returns a length or -1 with
// errno set, as flistxattr and fgetxattr do: asked first for the size,
// then for the bytes, and again if they grew in between (ERANGE). 0 or an
// errno.
template <class F>
int fetch(std::string& s, F get)
{
    for (;;) {
        ssize_t n = get(nullptr, 0);
        if (n < 0)
            return errno;
        // Nothing: as most files list.
        if (n == 0) {
            s.clear();
            return 0;
        }
        s.resize(static_cast<std::size_t>(n));
        n = get(s.data(), s.size());
        if (n >= 0) {
            s.resize(static_cast<std::size_t>(n));
            return 0;
        }
        if (errno != ERANGE)
            return errno;
    }
}

bool security(const std::string& name)
{
    return name.rfind("security.", 0) == 0;
}

// What some file systems never list but return when asked: ntfs-3g's ACL,
// and the Windows flags (Hidden, Read-only, ...) and creation time.
constexpr const char* by_name[] = {acl_name, "system.ntfs_attrib_be", "system.ntfs_crtime_be"};

// Debian's rules, for a system without the file.
constexpr char default_policy[] = "system.nfs4_acl permissions\n"
                                  "system.nfs4acl permissions\n"
                                  "system.posix_acl_access permissions\n"
                                  "system.posix_acl_default permissions\n"
                                  "trusted.SGI_* skip\n"
                                  "xfsroot.* skip\n"
                                  "user.Beagle.* skip\n"
                                  "security.evm skip\n"
                                  "afs.* skip\n";

// The rules as pattern and whether it is skipped. 0 or an errno.
int read_rules(const char* file, std::vector<std::pair<std::string, bool>>& rules)
{
    std::string text;
    if (int err = read_file(file, text); err == ENOENT)
        text = default_policy;
    else if (err != 0)
        return err;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line.substr(0, line.find('#')));
        std::string pattern, action;
        if (words >> pattern >> action)
            rules.emplace_back(pattern, action == "skip");
    }
    return 0;
}

// The flags that travel, by chattr's letter: A, c, C, d, m, S.
constexpr struct {
    int flag;
    char letter;
} carried[] = {
    {FS_NOATIME_FL, 'A'}, {FS_COMPR_FL, 'c'},  {FS_NOCOW_FL, 'C'},
    {FS_NODUMP_FL, 'd'},  {FS_NOCOMP_FL, 'm'}, {FS_SYNC_FL, 'S'},
};

constexpr int all_carried = [] {
    int all = 0;
    for (const auto& c : carried)
        all |= c.flag;
    return all;
}();

// Whether the file open as `to` already shows the attribute's value, which a file system that
// refuses to set it may: without allocating, for values of up to a page.
bool shows(int to, const std::string& key, const std::string& value)
{
    std::array<char, 4096> got{};
    if (value.size() >= got.size())
        return false;
    ssize_t n = fgetxattr(to, key.c_str(), got.data(), got.size());
    return n == static_cast<ssize_t>(value.size()) &&
           std::memcmp(got.data(), value.data(), value.size()) == 0;
}

// Whether the file open as `to` has an access ACL.
bool has_acl(int to)
{
    return fgetxattr(to, acl_name, nullptr, 0) >= 0 || (errno != ENODATA && errno != ENOTSUP);
}

} // namespace

int read_attrs(int in, const struct stat& st, fs_type type, attrs& a)
{
    a.uid = st.st_uid;
    a.gid = st.st_gid;
    a.mode = st.st_mode & 07777;
    // Unreadable attributes stop the run: the file may have an ACL or a
    // capability that would be lost. A file system without them has none.
    std::string list;
    int err = fetch(list, [in](char* b, std::size_t n) { return flistxattr(in, b, n); });
    if (err != 0 && err != ENOTSUP)
        return err;
    std::vector<std::string> names;
    for (std::size_t i = 0; i < list.size(); i = list.find('\0', i) + 1)
        names.emplace_back(list.c_str() + i);
    // A file system without flags (FUSE, NFS) says so, and then there are
    // none to keep.
    int flags = 0;
    if (ioctl(in, FS_IOC_GETFLAGS, &flags) == 0)
        a.flags = flags & all_carried;
    const std::size_t listed = names.size();
    for (const char* n : by_name) {
        if ((type == magic::fuse || type == magic::ntfs) &&
            std::find(names.begin(), names.end(), n) == names.end())
            names.emplace_back(n);
    }
    for (std::size_t i = 0; i < names.size(); i++) {
        std::string& key = names[i];
        std::string value;
        err =
            fetch(value, [&](char* b, std::size_t n) { return fgetxattr(in, key.c_str(), b, n); });
        // Not there: removed since the list was made, or, asked by name,
        // never there, or a kind the file system does not have.
        if (err == ENODATA || (err == ENOTSUP && i >= listed))
            continue;
        if (err != 0)
            return err;
        if (key == acl_name)
            a.acl = value;
        a.xattrs.emplace_back(std::move(key), std::move(value));
    }
    return 0;
}

int keep_travelling(attrs& a, const char* rules)
{
    if (a.xattrs.empty())
        return 0;
    std::vector<std::pair<std::string, bool>> r;
    if (int err = read_rules(rules, r))
        return err;
    std::erase_if(a.xattrs, [&](const auto& x) {
        for (const auto& [pattern, skip] : r) {
            if (fnmatch(pattern.c_str(), x.first.c_str(), 0) == 0)
                return skip;
        }
        return false;
    });
    if (std::none_of(a.xattrs.begin(), a.xattrs.end(),
                     [](const auto& x) { return x.first == acl_name; }))
        a.acl.clear();
    return 0;
}

void give_flags(int to, const attrs& a, missed& m)
{
    m.flags = a.flags;
    m.flags_err = 0;
    if (a.flags == 0)
        return;
    int now = 0;
    if (ioctl(to, FS_IOC_GETFLAGS, &now) != 0) {
        m.flags_err = errno;
        return;
    }
    // Flags of its own (extents, say) stay, and what it inherited of the
    // carried ones gives way to the file's.
    int want = (now & ~all_carried) | a.flags;
    m.flags_err = ioctl(to, FS_IOC_SETFLAGS, &want) == 0 ? 0 : errno;
    if (ioctl(to, FS_IOC_GETFLAGS, &now) != 0)
        now = 0;
    m.flags = a.flags & ~now;
    // Taken without a word, and still not there: btrfs, for one, leaves out
    // no-copy-on-write on a file that is not empty.
    if (m.flags != 0 && m.flags_err == 0)
        m.flags_err = EOPNOTSUPP;
    if (m.flags == 0)
        m.flags_err = 0;
}

failure give_owner(int to, const attrs& a)
{
    // Only root may give a file away; a user may still set a group they
    // belong to. EDQUOT: the group's quota cannot take the file.
    int err = fchown(to, a.uid, a.gid) == 0 ? 0 : errno;
    struct stat now {};
    if (fstat(to, &now) != 0)
        return {errno, about::work};
    if (now.st_uid != a.uid)
        return {err != 0 ? err : EPERM, about::owner};
    if (now.st_gid != a.gid)
        return {err != 0 ? err : EPERM, about::group};
    return {};
}

failure give_rest(int to, const attrs& a, missed& m)
{
    // After the owner, whose change clears a file capability, and before
    // the mode, which must have the last word on the bits.
    mode_t mode = a.mode;
    for (std::size_t i = 0; i < a.xattrs.size(); i++) {
        const auto& [key, value] = a.xattrs[i];
        m.xattrs[i] = 0;
        if (fsetxattr(to, key.c_str(), value.data(), value.size(), 0) == 0)
            continue;
        int err = errno;
        if (shows(to, key, value))
            continue;
        if (key == acl_name) {
            m.xattrs[i] = err;
            mode = (mode & ~S_IRWXG) | acl_group_bits(value);
        } else if (security(key) || (err != ENOTSUP && err != EPERM)) {
            return {err, about::xattr, key};
        } else {
            m.xattrs[i] = err;
        }
    }
    // A work file made in a directory with a default ACL inherits it: it
    // must not outlive the copy and grant what the input did not.
    if (a.acl.empty() && fremovexattr(to, acl_name) != 0 && errno != ENODATA && errno != ENOTSUP) {
        int err = errno;
        if (has_acl(to))
            return {err, about::acl};
    }
    if (fchmod(to, mode) != 0) {
        int err = errno;
        struct stat now {};
        if (fstat(to, &now) != 0)
            return {errno, about::work};
        if ((now.st_mode & 07777) != mode)
            return {err, about::mode};
    }
    return {};
}

void warn_missed(std::string_view path, const attrs& a, const missed& m)
{
    for (std::size_t i = 0; i < a.xattrs.size(); i++) {
        if (m.xattrs[i] == 0)
            continue;
        if (a.xattrs[i].first == acl_name)
            say(path, ": its access control list could not be kept (", why(m.xattrs[i]),
                "); the owning group has only its own permissions");
        else
            say(path, ": its attribute ", a.xattrs[i].first,
                " could not be kept: ", why(m.xattrs[i]));
    }
    if (m.flags != 0) {
        // As chattr writes them: +dA.
        char letters[sizeof carried / sizeof carried[0] + 2] = "+";
        std::size_t n = 1;
        for (const auto& c : carried) {
            if ((m.flags & c.flag) != 0)
                letters[n++] = c.letter;
        }
        say(path, ": its flags ", std::string_view(letters, n),
            " could not be kept: ", why(m.flags_err));
    }
}

} // namespace eolscrub2
