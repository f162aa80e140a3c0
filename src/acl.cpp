// SPDX-License-Identifier: ISC
#include "acl.h"

#include <cstring>

#include <endian.h>

namespace eolscrub2 {

namespace {

constexpr std::uint16_t named_user = 0x02;
constexpr std::uint16_t group_obj = 0x04;
constexpr std::uint16_t named_group = 0x08;

struct entry {
    std::uint16_t tag;
    std::uint16_t perm;
    std::uint32_t id;
};

// Calls f on each entry until it returns true; whether one did.
template <class F>
bool any_entry(const std::string& acl, F f)
{
    for (std::size_t i = 4; i + 8 <= acl.size(); i += 8) {
        entry e{};
        std::memcpy(&e.tag, acl.data() + i, 2);
        std::memcpy(&e.perm, acl.data() + i + 2, 2);
        std::memcpy(&e.id, acl.data() + i + 4, 4);
        if (f(entry{le16toh(e.tag), le16toh(e.perm), le32toh(e.id)}))
            return true;
    }
    return false;
}

} // namespace

mode_t acl_group_bits(const std::string& acl)
{
    mode_t bits = 0;
    any_entry(acl, [&](entry e) {
        bits = (e.perm & 07u) << 3;
        return e.tag == group_obj;
    });
    return bits;
}

bool acl_names_anyone(const std::string& acl)
{
    return any_entry(acl, [](entry e) { return e.tag == named_user || e.tag == named_group; });
}

bool acl_names_user(const std::string& acl, std::uint32_t id)
{
    return any_entry(acl, [&](entry e) { return e.tag == named_user && e.id == id; });
}

bool acl_names_group(const std::string& acl, std::uint32_t id)
{
    return any_entry(acl, [&](entry e) { return e.tag == named_group && e.id == id; });
}

} // namespace eolscrub2
