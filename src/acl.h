// SPDX-License-Identifier: ISC
// Access ACLs in the kernel's extended-attribute form: a 4-byte version,
// then entries of a 16-bit tag, 16-bit permissions and a 32-bit id, all
// little-endian.
#pragma once

#include <cstdint>
#include <string>

#include <sys/types.h>

namespace eolscrub2 {

inline constexpr char acl_name[] = "system.posix_acl_access";

// The owning group's own permissions, as mode bits: the mode's group bits
// stand for the ACL's mask, which also covers the named users and groups,
// so they must not be given to the group when the ACL itself is lost.
mode_t acl_group_bits(const std::string& acl);

// Whether the ACL names any user or group, whom its mask then bounds.
bool acl_names_anyone(const std::string& acl);

// Whether the ACL names this user or group id.
bool acl_names_user(const std::string& acl, std::uint32_t id);
bool acl_names_group(const std::string& acl, std::uint32_t id);

} // namespace eolscrub2
