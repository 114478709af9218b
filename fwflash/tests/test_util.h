// Small helpers the fwflash tests share: elapsed steady-clock time, the wall
// clock in microseconds and the count of a /proc listing (open descriptors,
// threads).
#pragma once

#include <dirent.h>
#include <sys/time.h>

#include <chrono>
#include <cstddef>

namespace fwtest {

using Clock = std::chrono::steady_clock;

inline long msSince(Clock::time_point t) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// The wall clock as gettimeofday gives it, in microseconds: the clock the
// timed waits of the thread wrappers follow.
inline long long wallMicros() {
    timeval now;
    gettimeofday(&now, nullptr);
    return now.tv_sec * 1000000LL + now.tv_usec;
}

// Entries of the folder, "." and ".." included; 0 when it cannot be read.
inline size_t entries(const char* dir) {
    size_t n = 0;
    DIR* d = opendir(dir);
    while (d && readdir(d)) ++n;
    if (d) closedir(d);
    return n;
}

}  // namespace fwtest
