// SPDX-License-Identifier: ISC
// Fuzzing the shell quoting: any bytes but NUL, quoted and handed to
// /bin/sh after "printf %s", must come back from the shell exactly.

#include "quote.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>

using eolscrub2::quote;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string name;
    for (std::size_t i = 0; i < size && name.size() < 4096; i++) {
        if (data[i] != 0) // no file name can hold one
            name += static_cast<char>(data[i]);
    }
    // popen runs the command with /bin/sh -c, as system(3) does.
    FILE* sh = popen(("printf %s " + quote(name)).c_str(), "r");
    if (sh == nullptr)
        return 0; // out of processes: nothing learned either way
    std::string got;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, sh)) > 0;)
        got.append(buf, n);
    int status = pclose(sh);
    if (status != 0 || got != name) {
        std::ignore = std::fprintf(stderr, "quoted %zu bytes, the shell gave %zu (status %d)\n",
                                   name.size(), got.size(), status);
        std::abort();
    }
    return 0;
}
