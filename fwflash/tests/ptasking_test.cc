// The thread wrappers: timed waits and triggers, the recursive mutex, and
// threads stopped before their members go.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "ptasking.h"
#include "support/camtest.h"
#include "test_util.h"

namespace {

using fwtest::Clock;
using fwtest::msSince;
using fwtest::wallMicros;

TEST(SyncEvent, WaitTimesOutOrIsTriggered) {
    pSyncEvent event;
    // A time-out ends once the wall clock has passed its deadline, which the
    // wait takes after this reading; the steady clock may see less (a wall
    // clock slewed or stepped, an emulator's timed waits).
    long long w0 = wallMicros();
    auto t0 = Clock::now();
    EXPECT_FALSE(event.Wait(250));
    EXPECT_GE(wallMicros() - w0, 250000);
    EXPECT_LT(msSince(t0), 2000);

    // A deadline whose milliseconds carry into the seconds.
    w0 = wallMicros();
    EXPECT_FALSE(event.Wait(1999));
    EXPECT_GE(wallMicros() - w0, 1999000);

    // Triggered while waiting: true well before the time-out. A trigger
    // wakes only a waiter that is there, so it is repeated until one is.
    std::atomic<int> result{-1};
    std::atomic<long> took{0};
    std::thread waiter([&] {
        auto t = Clock::now();
        result = event.Wait(10000) ? 1 : 0;
        took = msSince(t);
    });
    ASSERT_TRUE(camtest::waitFor([&] {
        event.Trigger();
        return result != -1;
    }));
    waiter.join();
    EXPECT_EQ(1, result);
    EXPECT_LT(took, 10000);
}

TEST(SyncEvent, WaitOnTheCallersMutex) {
    pSyncEvent event;
    pMutex m;
    std::atomic<bool> done{false};
    std::atomic<bool> woke{false};
    std::thread waiter([&] {
        pMutexLock lock(m);
        woke = event.Wait(m, -1);
        done = true;
    });
    ASSERT_TRUE(camtest::waitFor([&] {
        event.Trigger(m);
        return done.load();
    }));
    waiter.join();
    EXPECT_TRUE(woke);
}

TEST(Mutex, RecursiveAndExclusive) {
    pMutex m;
    EXPECT_TRUE(m.Acquire());
    EXPECT_TRUE(m.Acquire());  // the same thread again
    std::atomic<int> other{-1};
    auto tryOther = [&] {
        std::thread t([&] {
            int r = pthread_mutex_trylock(m.Get());
            if (r == 0) pthread_mutex_unlock(m.Get());
            other = r;
        });
        t.join();
        return other.load();
    };
    EXPECT_NE(0, tryOther());
    m.Release();
    EXPECT_NE(0, tryOther());  // still held once
    m.Release();
    EXPECT_EQ(0, tryOther());
    {
        pMutexLock lock(m);
        EXPECT_NE(0, tryOther());
    }
    EXPECT_EQ(0, tryOther());
}

// Keeps appending to a member until told to stop.
class Counter : public pThread {
public:
    Counter() : pThread(false, 64 * 1024) {}
    ~Counter() override { Stop(); }
    void Run() override {
        while (!Shutdown) {
            values_.push_back(static_cast<int>(values_.size()));
            Sleep(1);
        }
        stopped_seen_ = true;
    }
    std::vector<int> values_;
    std::atomic<bool> stopped_seen_{false};
};

TEST(Thread, StartRunStopJoin) {
    Counter c;
    EXPECT_FALSE(c.IsRunning());
    c.Stop();  // never started: nothing to join
    c.Start("counter-thread-long-name");
    EXPECT_TRUE(c.IsRunning());
    ASSERT_TRUE(camtest::waitFor([&] { return c.stopped_seen_ || c.values_.size() > 0; }));
    c.Stop();
    EXPECT_FALSE(c.IsRunning());
    EXPECT_TRUE(c.stopped_seen_);
    const size_t n = c.values_.size();
    EXPECT_GT(n, 0u);
    // Started again after a stop.
    c.Start("counter");
    ASSERT_TRUE(camtest::waitFor([&] { return c.values_.size() > n; }));
    // The destructor stops it before values_ goes (a use after free under
    // the sanitizers otherwise).
}

TEST(Thread, RunEndsByItself) {
    struct Once : pThread {
        ~Once() override { Stop(); }
        void Run() override { ran = true; }
        std::atomic<bool> ran{false};
    } once;
    once.Start("once");
    ASSERT_TRUE(camtest::waitFor([&] { return once.ran && !once.IsRunning(); }));
    once.Stop();
}

size_t threadsOfThisProcess() { return fwtest::entries("/proc/self/task"); }

// A second start while the first thread runs is refused: one thread, the
// one Stop() joins. One that has ended is joined and started anew.
TEST(Thread, StartWhileRunningIsRefused) {
    const size_t before = threadsOfThisProcess();
    {
        Counter c;
        ASSERT_TRUE(c.Start("counter"));
        ASSERT_TRUE(camtest::waitFor([&] { return c.values_.size() > 0; }));
        EXPECT_FALSE(c.Start("counter"));
        EXPECT_EQ(before + 1, threadsOfThisProcess());
        c.Stop();
        EXPECT_FALSE(c.IsRunning());
        EXPECT_TRUE(camtest::waitFor([&] { return threadsOfThisProcess() == before; }));
    }
    struct Twice : pThread {
        ~Twice() override { Stop(); }
        void Run() override { ++runs; }
        std::atomic<int> runs{0};
    } twice;
    ASSERT_TRUE(twice.Start("twice"));
    ASSERT_TRUE(camtest::waitFor([&] { return twice.runs == 1 && !twice.IsRunning(); }));
    EXPECT_TRUE(twice.Start("twice"));
    ASSERT_TRUE(camtest::waitFor([&] { return twice.runs == 2 && !twice.IsRunning(); }));
    twice.Stop();
    EXPECT_TRUE(camtest::waitFor([&] { return threadsOfThisProcess() == before; }));
}

// A detached thread is cancelled at its next cancellation point (the sleep
// of its loop), not in the middle of what it does between.
TEST(Thread, DetachedThreadCancelledAtItsSleep) {
#if defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer does not follow the unwinding of a cancelled thread
    // and reports its own clean-up of the thread's stack.
    GTEST_SKIP() << "thread cancellation under AddressSanitizer";
#endif
    struct Looper : pThread {
        Looper() : pThread(true, 0) {}
        void Run() override {
            for (;;) {
                ++rounds;
                Sleep(2);
            }
        }
        std::atomic<long> rounds{0};
    };
    const size_t before = threadsOfThisProcess();
    Looper looper;
    looper.Start("looper");
    ASSERT_TRUE(camtest::waitFor([&] { return looper.rounds > 2; }));
    EXPECT_EQ(before + 1, threadsOfThisProcess());
    looper.Stop();
    EXPECT_FALSE(looper.IsRunning());
    EXPECT_TRUE(camtest::waitFor([&] { return threadsOfThisProcess() == before; }));
}

}  // namespace
