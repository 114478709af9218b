#include "frame_clock.h"

#include <time.h>

#include <cmath>

namespace vcam {

RunClock::RunClock() : base_real_us_(monotonicUs()) {}

int64_t RunClock::monotonicUs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t RunClock::locked_now() const {
    if (!running_) return base_clock_us_;
    double elapsed = double(monotonicUs() - base_real_us_) * rate_;
    return base_clock_us_ + int64_t(elapsed);
}

int64_t RunClock::nowUs() const {
    std::lock_guard<std::mutex> lock(mu_);
    return locked_now();
}

void RunClock::pause() {
    std::lock_guard<std::mutex> lock(mu_);
    base_clock_us_ = locked_now();
    base_real_us_ = monotonicUs();
    running_ = false;
}

bool RunClock::run(double rate) {
    if (!(rate > 0) || !std::isfinite(rate) || rate > 1000) return false;
    std::lock_guard<std::mutex> lock(mu_);
    base_clock_us_ = locked_now();
    base_real_us_ = monotonicUs();
    rate_ = rate;
    running_ = true;
    return true;
}

bool RunClock::advance(int64_t us) {
    if (us < 0) return false;
    std::lock_guard<std::mutex> lock(mu_);
    base_clock_us_ += us;
    return true;
}

bool RunClock::running() const {
    std::lock_guard<std::mutex> lock(mu_);
    return running_;
}

double RunClock::rate() const {
    std::lock_guard<std::mutex> lock(mu_);
    return rate_;
}

}  // namespace vcam
