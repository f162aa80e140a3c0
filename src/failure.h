// SPDX-License-Identifier: ISC
// How a part of the run says that it failed, where an errno alone cannot
// say what about. Every call that can fail returns 0 or an errno; a step
// of the run returns the run's status once it has said why; a failure is
// for the few calls whose errno needs what it was about beside it.
#pragma once

#include <string_view>

namespace eolscrub2 {

// What a failure was about: the file or the work file, read or written;
// or one of the attributes the work file is given.
enum class about { file, work, owner, group, mode, acl, xattr };

struct failure {
    int err = 0; // 0: none
    about what = about::file;
    std::string_view name{};      // an extended attribute's, for about::xattr
    const char* reason = nullptr; // what to say where not the errno's text
};

// An attribute as a message names it: "owner", "access control list",
// "attribute" (before its name); "attributes" for the others.
constexpr std::string_view noun(about a)
{
    switch (a) {
    case about::owner:
        return "owner";
    case about::group:
        return "group";
    case about::mode:
        return "mode";
    case about::acl:
        return "access control list";
    case about::xattr:
        return "attribute";
    case about::file:
    case about::work:
        break;
    }
    return "attributes";
}

} // namespace eolscrub2
