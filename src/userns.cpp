// SPDX-License-Identifier: ISC
#include "userns.h"

#include "acl.h"
#include "io.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>

namespace eolscrub2 {

namespace {

constexpr char not_mapped[] = "it is not mapped in this user namespace";
constexpr char names_unmapped[] = "it names a user or group not mapped in this user namespace";

// Sets `all` to whether this namespace's map (/proc/self/uid_map,
// gid_map) takes in every id: its ranges add up to all 2^32 - 1 of them,
// as in the first namespace. Without /proc there is no telling, and the
// first is likely. 0 or an errno.
int maps_all(const char* file, bool& all)
{
    std::string map;
    all = true;
    if (int err = read_file(file, map))
        return err == ENOENT ? 0 : err;
    unsigned long long total = 0;
    std::istringstream lines(map);
    unsigned long long inside = 0;
    unsigned long long outside = 0;
    unsigned long long count = 0;
    while (lines >> inside >> outside >> count)
        total += count;
    all = total >= 0xffffffffULL;
    return 0;
}

} // namespace

failure unmapped(const attrs& a)
{
    // Most runs are in the first user namespace, which maps every id and
    // has an inode number of its own (PROC_USER_INIT_INO).
    struct stat ns {};
    if (stat("/proc/self/ns/user", &ns) == 0 && ns.st_ino == 0xeffffffd)
        return {};
    struct kind {
        const char* map;
        const char* overflow;
        unsigned long long id;
        bool (*named)(const std::string&, std::uint32_t);
        about what;
    };
    const kind kinds[] = {
        {"/proc/self/uid_map", "/proc/sys/kernel/overflowuid", a.uid, acl_names_user, about::owner},
        {"/proc/self/gid_map", "/proc/sys/kernel/overflowgid", a.gid, acl_names_group,
         about::group},
    };
    for (const kind& k : kinds) {
        bool all = true;
        if (int err = maps_all(k.map, all))
            return {err, k.what};
        if (all)
            continue;
        std::string s;
        if (int err = read_file(k.overflow, s))
            return {err, k.what};
        // The id the kernel shows for one this namespace cannot map.
        const unsigned long long overflow = std::strtoull(s.c_str(), nullptr, 10);
        if (k.id == overflow)
            return {EOVERFLOW, k.what, {}, not_mapped};
        // An ACL entry for an id that cannot be mapped reads as that id, or
        // as no id at all.
        if (!a.acl.empty() &&
            (k.named(a.acl, static_cast<std::uint32_t>(overflow)) || k.named(a.acl, 0xffffffffu)))
            return {EOVERFLOW, about::acl, {}, names_unmapped};
    }
    return {};
}

} // namespace eolscrub2
