// SPDX-License-Identifier: ISC
// Owners and groups: their names for messages, and ids that this user
// namespace cannot map.
#pragma once

#include "attrs.h"

#include <string>

#include <sys/types.h>

namespace eolscrub2 {

// The user's or group's name, or its number where it has none.
std::string user_name(uid_t uid);
std::string group_name(gid_t gid);

// Before anything is made: the owner, group or an ACL entry that is an id
// this user namespace cannot map. Such an id shows as the overflow id, and
// given to the work file it would go to whoever has that id here.
lost unmapped(const attrs& a);

} // namespace eolscrub2
