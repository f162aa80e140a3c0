// SPDX-License-Identifier: ISC
// Quoting for the POSIX shell, for the commands the program hands to
// system(3).
#pragma once

#include <string>

namespace eolscrub2 {

// Returns s as one shell word that stands for exactly its bytes. Inside
// single quotes every byte is literal except the single quote itself, which
// has to close the quotes, appear escaped, and reopen them: ' becomes '\''.
inline std::string quote(const std::string& s)
{
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    q += '\'';
    return q;
}

} // namespace eolscrub2
