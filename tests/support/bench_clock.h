// Timing helpers of the benchmarks (not tests): milliseconds of a steady
// clock and the median of repeated runs.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

namespace camtest {

using Clock = std::chrono::steady_clock;

inline double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

inline double median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// How long f takes, in milliseconds.
inline double timeIt(const std::function<void()>& f) {
    auto t = Clock::now();
    f();
    return ms(Clock::now() - t);
}

}  // namespace camtest
