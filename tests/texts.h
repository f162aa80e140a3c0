// SPDX-License-Identifier: ISC
// What the tests share: the sample texts, the conversion's rules written
// out as plainly as possible, and reading a file whole.
#pragma once

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

namespace eolscrub2::test {

// A small CR LF text with a trailing Ctrl-Z, and what it becomes.
inline const std::string crlf = "one\r\ntwo\r\n\x1a";
inline const std::string lfed = "one\ntwo\n";

// The expected result, by the rules: drop CR and SUB, then make sure of
// the final LF. For any string of bytes, of char or unsigned char.
template <class Bytes>
Bytes reference(Bytes in)
{
    std::erase_if(in, [](auto c) { return c == '\r' || c == '\x1a'; });
    if (in.empty() || in.back() != '\n')
        in.push_back('\n');
    return in;
}

inline std::string slurp(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

} // namespace eolscrub2::test
