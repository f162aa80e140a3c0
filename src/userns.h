// SPDX-License-Identifier: ISC
// User namespaces: the owners, groups and ACL entries one cannot map.
#pragma once

#include "attrs.h"
#include "failure.h"

namespace eolscrub2 {

// Before anything is made: the owner, group or an ACL entry that is an id
// this user namespace cannot map. Such an id shows as the overflow id, and
// given to the work file it would go to whoever has that id here.
failure unmapped(const attrs& a);

} // namespace eolscrub2
