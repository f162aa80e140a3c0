// SPDX-License-Identifier: ISC
// The conversion in memory, against a plain memcpy of the same bytes, so
// that every rate reads as a fraction of the copy. Two sizes: 64 MiB, far
// larger than the caches, and one of the program's blocks converted again
// and again, which stays in them (rows ending in /block).
//
// Out of cache the 64 MiB rows measure memory more than the kernels: an
// ordinary store first reads the destination's cache line from memory,
// while memcpy's streaming stores do not, so a kernel that stores normally
// moves about 1.5 times the bytes, and where memory's bandwidth is the
// limit it is capped near 0.55 of memcpy. (In a virtual machine whose
// memcpy is slow out of cache the cap may not show.) The /block rows show
// what the kernels themselves cost.

#include "convert.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

using namespace eolscrub2;

namespace {

constexpr std::size_t size = 64 << 20;

using bytes = std::vector<unsigned char>;

// Text of lines of 20 to 100 bytes, ended by `eol`.
bytes text(const std::string& eol)
{
    std::mt19937 rng(1);
    bytes b;
    b.reserve(size + 128);
    while (b.size() < size) {
        std::size_t len = 20 + rng() % 81 - eol.size();
        for (std::size_t i = 0; i < len; i++)
            b.push_back(static_cast<unsigned char>(' ' + rng() % 95));
        b.insert(b.end(), eol.begin(), eol.end());
    }
    b.resize(size);
    return b;
}

bytes alternate()
{
    bytes b(size);
    for (std::size_t i = 0; i < size; i++)
        b[i] = i % 2 ? cr : 'x';
    return b;
}

const bytes& shape(int s)
{
    static const bytes crlf = text("\r\n");
    static const bytes lfonly = text("\n");
    static const bytes every = alternate();
    return s == 0 ? crlf : s == 1 ? lfonly : every;
}

const char* const shapes[] = {"crlf", "lf", "every_other_cr"};

void copy(benchmark::State& state, int s)
{
    const bytes& in = shape(s);
    bytes out(in.size());
    for (auto _ : state) {
        std::memcpy(out.data(), in.data(), in.size());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

void convert(benchmark::State& state, int s, kernel k)
{
    const bytes& in = shape(s);
    bytes out(in.size());
    for (auto _ : state) {
        // Fed in the program's block size, as a run feeds it.
        scrub sc{k};
        std::size_t w = 0;
        for (std::size_t i = 0; i < in.size(); i += block_size)
            w += sc.feed(in.data() + i, block_size, out.data() + w);
        benchmark::DoNotOptimize(w);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

// One block, from the start of the shape, copied or converted in cache.
void copy_block(benchmark::State& state, int s)
{
    const bytes in(shape(s).begin(), shape(s).begin() + block_size);
    bytes out(block_size);
    for (auto _ : state) {
        std::memcpy(out.data(), in.data(), block_size);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * block_size));
}

void convert_block(benchmark::State& state, int s, kernel k)
{
    const bytes in(shape(s).begin(), shape(s).begin() + block_size);
    bytes out(block_size);
    for (auto _ : state) {
        std::size_t w = drop(k, in.data(), block_size, out.data());
        benchmark::DoNotOptimize(w);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * block_size));
}

} // namespace

int main(int argc, char** argv)
{
    for (int s = 0; s < 3; s++) {
        std::string sh = shapes[s];
        benchmark::RegisterBenchmark(("memcpy/" + sh).c_str(), copy, s)
            ->Unit(benchmark::kMillisecond);
        for (kernel k : kernels())
            benchmark::RegisterBenchmark((std::string(kernel_name(k)) + "/" + sh).c_str(), convert,
                                         s, k)
                ->Unit(benchmark::kMillisecond);
    }
    for (int s = 0; s < 3; s++) {
        std::string sh = std::string(shapes[s]) + "/block";
        benchmark::RegisterBenchmark(("memcpy/" + sh).c_str(), copy_block, s)
            ->Unit(benchmark::kMicrosecond);
        for (kernel k : kernels())
            benchmark::RegisterBenchmark((std::string(kernel_name(k)) + "/" + sh).c_str(),
                                         convert_block, s, k)
                ->Unit(benchmark::kMicrosecond);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
