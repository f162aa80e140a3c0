// SPDX-License-Identifier: ISC
#include "attrs.h"

#include "acl.h"
#include "report.h"

#include <cerrno>
#include <cstring>

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

} // namespace

int read_attrs(int in, const struct stat& st, attrs& a)
{
    a.uid = st.st_uid;
    a.gid = st.st_gid;
    a.mode = st.st_mode & 07777;
    // Unreadable attributes stop the run: the file may have an ACL or a
    // capability that would be lost. A file system without them has none.
    std::string names;
    int err = fetch(names, [in](char* b, std::size_t n) { return flistxattr(in, b, n); });
    if (err == ENOTSUP)
        return 0;
    if (err != 0)
        return err;
    for (std::size_t i = 0; i < names.size(); i = names.find('\0', i) + 1) {
        std::string key = names.c_str() + i;
        std::string value;
        err =
            fetch(value, [&](char* b, std::size_t n) { return fgetxattr(in, key.c_str(), b, n); });
        if (err == ENODATA)
            continue; // removed since the list was made
        if (err != 0)
            return err;
        if (key == acl_name)
            a.acl = value;
        a.xattrs.emplace_back(std::move(key), std::move(value));
    }
    return 0;
}

lost give_owner(int f, const attrs& a)
{
    // Only root may give a file away; a user may still set a group they
    // belong to. EDQUOT: the group's quota cannot take the file.
    int err = fchown(f, a.uid, a.gid) == 0 ? 0 : errno;
    struct stat now {};
    if (fstat(f, &now) != 0)
        return {errno, {}};
    if (now.st_uid != a.uid)
        return {err != 0 ? err : EPERM, "owner"};
    if (now.st_gid != a.gid)
        return {err != 0 ? err : EPERM, "group"};
    return {};
}

lost give_rest(int f, const attrs& a, bool& acl_owed, std::string_view path)
{
    // After the owner, whose change clears a file capability, and before
    // the mode, which must have the last word on the bits.
    mode_t mode = a.mode;
    acl_owed = false;
    for (const auto& [key, value] : a.xattrs) {
        if (fsetxattr(f, key.c_str(), value.data(), value.size(), 0) == 0)
            continue;
        int err = errno;
        if (key == acl_name) {
            acl_owed = true;
            mode = (mode & ~S_IRWXG) | acl_group_bits(value);
        } else if (security(key) || (err != ENOTSUP && err != EPERM)) {
            return {err, key, true};
        } else {
            say({path, ": its attribute ", key, " could not be kept: ", why(err)});
        }
    }
    // A work file made in a directory with a default ACL inherits it: it
    // must not outlive the copy and grant what the input did not.
    if (a.acl.empty() && fremovexattr(f, acl_name) != 0 && errno != ENODATA && errno != ENOTSUP)
        return {errno, {}};
    if (fchmod(f, mode) != 0)
        return {errno, {}};
    return {};
}

int restore_acl(int f, const attrs& a)
{
    return fsetxattr(f, acl_name, a.acl.data(), a.acl.size(), 0) == 0 ? 0 : errno;
}

} // namespace eolscrub2
