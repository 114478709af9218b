// Small POSIX-thread wrappers of the firmware tool: a recursive mutex and its
// scoped lock, an event with timed waits, and a thread base class.
#pragma once

#include <pthread.h>

#include <atomic>

class pMutex {
public:
    pMutex();
    ~pMutex();
    pMutex(const pMutex&) = delete;
    pMutex& operator=(const pMutex&) = delete;

    bool Acquire();
    void Release();
    pthread_mutex_t* Get() { return &Mtx; }

private:
    pthread_mutex_t Mtx;
};

// Holds the mutex for its own lifetime.
class pMutexLock {
public:
    explicit pMutexLock(pMutex& m);
    ~pMutexLock();
    pMutexLock(const pMutexLock&) = delete;
    pMutexLock& operator=(const pMutexLock&) = delete;

private:
    pMutex& mutex;
};

class pSyncEvent {
public:
    pSyncEvent();
    ~pSyncEvent();
    pSyncEvent(const pSyncEvent&) = delete;
    pSyncEvent& operator=(const pSyncEvent&) = delete;

    // Waits for a trigger; milliseconds < 0 waits without limit. True when
    // triggered, false on time-out.
    bool Wait(int milliseconds);
    // The same with a mutex the caller already holds.
    bool Wait(pMutex& m, int milliseconds);
    // Wakes one waiter.
    void Trigger();
    void Trigger(pMutex& m);

private:
    pMutex internal_mutex;
    pthread_cond_t cond;
};

// A thread whose body is Run(). A derived class calls Stop() in its own
// destructor, so the thread ends before the members it uses go away.
class pThread {
public:
    explicit pThread(bool detached = false, int stackSize = 0);
    virtual void Run() = 0;
    virtual ~pThread();
    // Asks the thread to end: a joinable thread is joined, a running detached
    // one is cancelled at its next cancellation point.
    virtual void Stop();

    // Starts Run() on a new thread. Refused (false) while the thread of an
    // earlier Start still runs; one that has ended is joined first.
    bool Start(const char* name);
    bool IsRunning() const { return Running; }
    static void Sleep(int milliseconds);

protected:
    pthread_t thread_id{};
    std::atomic<bool> Shutdown{false};
    std::atomic<bool> Running{false};
    std::atomic<bool> Detached{false};
    int StackSize = 0;

private:
    static void* Body(void* self);
    // A thread was created and not yet joined.
    std::atomic<bool> Started{false};
};
