// The run's clock for frame pacing: real time scaled by a rate, which the run
// can pause, speed up, slow down and step by hand.
#pragma once

#include <cstdint>
#include <mutex>

namespace vcam {

class FrameClock {
public:
    virtual ~FrameClock() = default;
    // Microseconds since the clock started; never goes backwards.
    virtual int64_t nowUs() const = 0;
};

class RunClock : public FrameClock {
public:
    RunClock();
    int64_t nowUs() const override;

    // Stops the clock where it is.
    void pause();
    // Lets it run again at rate times real time (rate > 0).
    bool run(double rate = 1.0);
    // Moves it forward by us microseconds (us >= 0), running or not.
    bool advance(int64_t us);

    bool running() const;
    double rate() const;

private:
    int64_t locked_now() const;
    static int64_t monotonicUs();

    mutable std::mutex mu_;
    bool running_ = true;
    double rate_ = 1.0;
    int64_t base_clock_us_ = 0;  // clock value at base_real_us_
    int64_t base_real_us_ = 0;
};

}  // namespace vcam
