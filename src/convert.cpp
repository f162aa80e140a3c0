// SPDX-License-Identifier: ISC
#include "convert.h"

#include "drop/drop.h"

namespace eolscrub2 {

std::vector<kernel> kernels()
{
    std::vector<kernel> k{kernel::plain};
#if defined(__x86_64__)
    // libgcc's answers for the AVX sets also check that the system saves
    // their registers (XGETBV), not only that the processor has them.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("ssse3") && __builtin_cpu_supports("popcnt"))
        k.push_back(kernel::ssse3);
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
        __builtin_cpu_supports("popcnt"))
        k.push_back(kernel::avx2);
    if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi2") &&
        __builtin_cpu_supports("bmi2"))
        k.push_back(kernel::avx512);
#elif defined(__aarch64__)
    // Every ARM64 processor has NEON.
    k.push_back(kernel::neon);
#endif
    return k;
}

kernel best()
{
    static const kernel k = kernels().back();
    return k;
}

const char* kernel_name(kernel k)
{
    switch (k) {
    case kernel::plain:
        return "plain";
    case kernel::ssse3:
        return "ssse3";
    case kernel::avx2:
        return "avx2";
    case kernel::avx512:
        return "avx512";
    case kernel::neon:
        return "neon";
    }
    return "?";
}

std::size_t drop(kernel k, const unsigned char* src, std::size_t n, unsigned char* dst)
{
    switch (k) {
#if defined(__x86_64__)
    case kernel::ssse3:
        return drop_ssse3(src, n, dst);
    case kernel::avx2:
        return drop_avx2(src, n, dst);
    case kernel::avx512:
        return drop_avx512(src, n, dst);
#elif defined(__aarch64__)
    case kernel::neon:
        return drop_neon(src, n, dst);
#endif
    default:
        // The plain kernel, and any kernel this build does not have.
        return drop_plain(src, n, dst);
    }
}

} // namespace eolscrub2
