// SPDX-License-Identifier: ISC
// The conversion in memory, against a plain memcpy of the same bytes, so
// that every rate reads as a fraction of the copy. Each shape of text at
// two sizes: 64 KiB converted again and again, which stays in the caches
// and shows what a kernel itself costs (rows ending in /64KiB), and
// 256 MiB, far larger than them, fed in the program's blocks as a run
// feeds it (/256MiB). At the end a table gives each kernel's rate and its
// fraction of memcpy of the same shape and size in the same run: the
// least, the median and the most over the repetitions
// (--benchmark_repetitions=3), each over memcpy's median.
//
// Lines of one length repeat every few steps, and the processor learns
// which way each branch goes; it learns much of 64 KiB of lines of random
// lengths too, converted again and again. How a kernel's branches fare on
// a text shows in the 256 MiB rows of those.
//
// Out of cache the rows measure memory more than the kernels: an ordinary
// store first reads the destination's cache line from memory, while
// memcpy's streaming stores do not, so a kernel that stores normally
// moves three bytes for memcpy's two, and where memory's bandwidth is the
// limit it is capped near two thirds of memcpy.

#include "convert.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace eolscrub2;

namespace {

// Every buffer starts on a cache line. glibc's memcpy copies the in-cache
// size with rep movsb, which this AMD EPYC runs at a fifteenth of its speed
// when the destination lies 1 to 31 bytes past a multiple of 64 from the
// source, as two vectors' own allocations often do.
struct freer {
    void operator()(unsigned char* p) const { std::free(p); }
};
using buffer = std::unique_ptr<unsigned char[], freer>;

buffer allocate(std::size_t size)
{
    buffer b(static_cast<unsigned char*>(std::aligned_alloc(64, size)));
    if (!b)
        std::abort();
    // Touched now, so that no page is first faulted in while timed.
    std::memset(b.get(), 0, size);
    return b;
}

// CR LF text in lines of exactly 20 to 200 bytes: the lines of 20 put two
// CRs in many 32-byte steps, those of 40 and more at most one. Lines of
// 20 to 100 bytes at random, as a text's are, where a kernel cannot
// foresee how many a step holds. Then text without CR, and the worst
// case, every other byte a CR.
struct shape {
    const char* name;
    std::size_t shortest; // bytes a line, its end included; 0: every other byte a CR
    std::size_t longest;
    const char* eol;
};

const shape shapes[] = {
    {"crlf20", 20, 20, "\r\n"},    {"crlf40", 40, 40, "\r\n"},       {"crlf80", 80, 80, "\r\n"},
    {"crlf200", 200, 200, "\r\n"}, {"crlf20to100", 20, 100, "\r\n"}, {"lf", 80, 80, "\n"},
    {"every_other_cr", 0, 0, ""},
};

constexpr std::size_t cached = 64 << 10;
constexpr std::size_t large = 256 << 20;

buffer make(const shape& s, std::size_t size)
{
    buffer b = allocate(size);
    if (s.shortest == 0) {
        for (std::size_t i = 0; i < size; i++)
            b[i] = i % 2 ? cr : 'x';
        return b;
    }
    std::uint32_t r = 1;
    auto next = [&r] {
        r = r * 1103515245u + 12345u;
        return r >> 16;
    };
    std::size_t eol = std::strlen(s.eol);
    for (std::size_t i = 0; i < size;) {
        std::size_t len = s.shortest + next() % (s.longest - s.shortest + 1);
        for (std::size_t j = 0; j < len && i < size; j++, i++) {
            b[i] = j < len - eol ? static_cast<unsigned char>(' ' + next() % 95)
                                 : static_cast<unsigned char>(s.eol[j - (len - eol)]);
        }
    }
    return b;
}

// The shape most recently asked for: the large ones are made one at a
// time, as the rows run in order, rather than all kept at once.
const unsigned char* input(const shape& s, std::size_t size)
{
    static const shape* made = nullptr;
    static std::size_t made_size = 0;
    static buffer b;
    if (made != &s || made_size != size) {
        b = make(s, size);
        made = &s;
        made_size = size;
    }
    return b.get();
}

void copy(benchmark::State& state, const shape* s, std::size_t size)
{
    const unsigned char* in = input(*s, size);
    buffer out = allocate(size);
    for (auto _ : state) {
        std::memcpy(out.get(), in, size);
        benchmark::DoNotOptimize(out.get());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

void convert(benchmark::State& state, const shape* s, std::size_t size, kernel k)
{
    const unsigned char* in = input(*s, size);
    buffer out = allocate(size);
    for (auto _ : state) {
        scrub sc{k};
        std::size_t w = 0;
        for (std::size_t i = 0; i < size; i += block_size) {
            std::size_t n = std::min(block_size, size - i);
            w += sc.feed(in + i, n, out.get() + w);
        }
        benchmark::DoNotOptimize(w);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

std::string row(const std::string& kernel, const shape& s, std::size_t size)
{
    return kernel + "/" + s.name + (size == cached ? "/64KiB" : "/256MiB");
}

// The console's report, and each row's rates kept for the table.
class report : public benchmark::ConsoleReporter {
public:
    std::map<std::string, std::vector<double>> rates;

    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& r : runs) {
            if (r.run_type == Run::RT_Iteration && !r.error_occurred)
                rates[r.run_name.function_name].push_back(r.counters.at("bytes_per_second"));
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// One cell: the median rate in GiB/s, and its fraction of memcpy's median
// at its least, median and most; blank where the row did not run.
void cell(const report& rep, const std::string& row, const std::string& base)
{
    auto r = rep.rates.find(row);
    auto m = rep.rates.find(base);
    if (r == rep.rates.end() || m == rep.rates.end()) {
        std::printf(" %24s", "");
        return;
    }
    std::vector<double> v = r->second;
    std::sort(v.begin(), v.end());
    double copy = median(m->second);
    std::printf(" %6.1f %5.2f %5.2f %5.2f", median(v) / (1 << 30), v.front() / copy,
                median(v) / copy, v.back() / copy);
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> names{"memcpy"};
    for (kernel k : kernels())
        names.emplace_back(kernel_name(k));
    for (std::size_t size : {cached, large}) {
        auto unit = size == cached ? benchmark::kMicrosecond : benchmark::kMillisecond;
        for (const shape& s : shapes) {
            benchmark::RegisterBenchmark(row("memcpy", s, size).c_str(), copy, &s, size)
                ->Unit(unit);
            for (kernel k : kernels())
                benchmark::RegisterBenchmark(row(kernel_name(k), s, size).c_str(), convert, &s,
                                             size, k)
                    ->Unit(unit);
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    report rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    benchmark::Shutdown();

    std::printf("\n%-8s %-15s %-24s %-24s\n", "kernel", "shape", "in cache (64 KiB)",
                "out of cache (256 MiB)");
    std::printf("%-8s %-15s %6s %5s %5s %5s %6s %5s %5s %5s\n", "", "", "GiB/s", "min", "med",
                "max", "GiB/s", "min", "med", "max");
    for (const std::string& k : names) {
        for (const shape& s : shapes) {
            // Rows left out by --benchmark_filter are left out here too.
            if (!rep.rates.contains(row(k, s, cached)) && !rep.rates.contains(row(k, s, large)))
                continue;
            std::printf("%-8s %-15s", k.c_str(), s.name);
            for (std::size_t size : {cached, large})
                cell(rep, row(k, s, size), row("memcpy", s, size));
            std::printf("\n");
        }
    }
}
