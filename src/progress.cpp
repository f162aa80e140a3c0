// SPDX-License-Identifier: ISC
#include "progress.h"

#include <cstdio>
#include <ctime>
#include <tuple>

#include <unistd.h>

namespace eolscrub2::progress {

namespace {

// One run's line: until a second has gone by, nothing but the clock is
// read, which the C library does without a system call.
enum class line { off, waiting, shown };
line state = line::off;
timespec started{};
timespec drawn{};
off_t total = 0;
off_t done = 0;
const char* doing = "reading";

double seconds(const timespec& since, const timespec& now)
{
    return static_cast<double>(now.tv_sec - since.tv_sec) +
           static_cast<double>(now.tv_nsec - since.tv_nsec) / 1e9;
}

// In units a reader takes in at a glance.
void size(char* out, std::size_t n, double bytes)
{
    const char* unit[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int u = 0;
    for (; bytes >= 1024 && u < 4; u++)
        bytes /= 1024;
    std::ignore = std::snprintf(out, n, u == 0 ? "%.0f %s" : "%.1f %s", bytes, unit[u]); // fits
}

void draw(bool now)
{
    if (state == line::off)
        return;
    timespec t{};
    std::ignore = clock_gettime(CLOCK_MONOTONIC, &t); // cannot fail for this clock
    const double elapsed = seconds(started, t);
    if ((!now && seconds(drawn, t) < 0.25) || elapsed < 1)
        return;
    // Looked at once the run has been long: a short one pays nothing.
    if (state == line::waiting && isatty(STDERR_FILENO) == 0) {
        state = line::off;
        return;
    }
    char all[16];
    char so_far[16];
    char rate[16];
    size(all, sizeof all, static_cast<double>(total));
    size(so_far, sizeof so_far, static_cast<double>(done));
    size(rate, sizeof rate, static_cast<double>(done) / elapsed);
    char text[128];
    int n = std::snprintf(text, sizeof text, "\reolscrub2: %s, %s of %s, %s/s\033[K", doing, so_far,
                          all, rate);
    if (n > 0)
        std::ignore = write(STDERR_FILENO, text, static_cast<std::size_t>(n)); // a line that may go
    state = line::shown;
    drawn = t;
}

} // namespace

void begin(off_t bytes)
{
    total = bytes;
    state = line::waiting;
    std::ignore = clock_gettime(CLOCK_MONOTONIC, &started); // cannot fail for this clock
}

void converted(off_t bytes)
{
    done = bytes;
    draw(false);
}

void step(const char* what, off_t bytes)
{
    doing = what;
    done = bytes;
    draw(true);
}

void erase()
{
    if (state != line::shown)
        return;
    state = line::waiting;
    std::ignore = write(STDERR_FILENO, "\r\033[K", 4); // as the line itself
}

} // namespace eolscrub2::progress
