#include "attrs.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <tuple>

#include <endian.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace eolscrub2 {

namespace {

constexpr char acl_name[] = "system.posix_acl_access";

// The owning group's own permissions in an ACL: the mode's group bits
// stand for the ACL's mask, which also covers the named users and groups,
// so they must not be given to the group when the ACL itself is lost. The
// kernel's form is a 4-byte version, then entries of a 16-bit tag, 16-bit
// permissions and a 32-bit id, little-endian.
mode_t group_bits(const std::string& acl)
{
    constexpr std::uint16_t group_obj = 0x04;
    for (std::size_t i = 4; i + 8 <= acl.size(); i += 8) {
        std::uint16_t tag = 0;
        std::uint16_t perm = 0;
        std::memcpy(&tag, acl.data() + i, 2);
        std::memcpy(&perm, acl.data() + i + 2, 2);
        if (le16toh(tag) == group_obj)
            return (le16toh(perm) & 07u) << 3;
    }
    return 0;
}

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

// The names of f's extended attributes, each ended by a NUL. 0 or an errno;
// a file system without them has none.
int names_of(int f, std::string& names)
{
    int err = fetch(names, [f](char* b, std::size_t n) { return flistxattr(f, b, n); });
    return err == ENOTSUP ? 0 : err;
}

// The value of f's attribute key. 0 or an errno (ENODATA: removed since).
int value_of(int f, const char* key, std::string& value)
{
    return fetch(value, [f, key](char* b, std::size_t n) { return fgetxattr(f, key, b, n); });
}

} // namespace

fault carry(int in, int out, const struct stat& st, std::string& acl)
{
    acl.clear();
    mode_t mode = st.st_mode & 07777;
    // Only root may give a file away; a user may still keep the group if
    // they belong to it. A set-ID bit must not survive on a file that is
    // now someone else's.
    if (fchown(out, st.st_uid, st.st_gid) != 0) {
        mode &= ~S_ISUID;
        if (fchown(out, static_cast<uid_t>(-1), st.st_gid) != 0)
            mode &= ~S_ISGID;
    }

    // After the chown, which clears file capabilities, and before the
    // chmod, which must have the last word on the bits. Unreadable
    // attributes stop the run: the input may have an ACL that would be lost.
    std::string names;
    if (int err = names_of(in, names))
        return {err, true};
    bool acl_set = false;
    for (std::size_t i = 0; i < names.size(); i = names.find('\0', i) + 1) {
        const char* key = names.c_str() + i;
        std::string value;
        if (int err = value_of(in, key, value)) {
            if (err == ENODATA)
                continue;
            return {err, true};
        }
        bool set = fsetxattr(out, key, value.data(), value.size(), 0) == 0;
        if (std::strcmp(key, acl_name) == 0) {
            acl_set = set;
            if (!set) {
                acl = value;
                mode = (mode & ~S_IRWXG) | group_bits(value);
            }
        }
        // Any other attribute that this file system or user cannot take
        // (a security label, say) is left out, as cp -p does.
    }
    // A work file made in a directory with a default ACL inherits it: it
    // must not outlive the copy and grant what the input did not.
    if (!acl_set && fremovexattr(out, acl_name) != 0 && errno != ENODATA && errno != ENOTSUP)
        return {errno, false};
    if (fchmod(out, mode) != 0)
        return {errno, false};
    return {};
}

int restore_acl(int f, const std::string& acl)
{
    return fsetxattr(f, acl_name, acl.data(), acl.size(), 0) == 0 ? 0 : errno;
}

} // namespace eolscrub2
