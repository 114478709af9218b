#include "ptasking.h"

#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include "debugging.h"

pMutex::pMutex() {
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) __FATAL("pthread_mutexattr_init() failed\n");
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&Mtx, &attr);
    pthread_mutexattr_destroy(&attr);
}

pMutex::~pMutex() { pthread_mutex_destroy(&Mtx); }

bool pMutex::Acquire() {
    int err = pthread_mutex_lock(&Mtx);
    if (err != 0) __FATAL("pthread_mutex_lock() failed (%s)\n", strerror(err));
    return true;
}

void pMutex::Release() { pthread_mutex_unlock(&Mtx); }

pMutexLock::pMutexLock(pMutex& m) : mutex(m) { pthread_mutex_lock(mutex.Get()); }

pMutexLock::~pMutexLock() { pthread_mutex_unlock(mutex.Get()); }

pSyncEvent::pSyncEvent() {
    int err = pthread_cond_init(&cond, nullptr);
    if (err != 0) __FATAL("pthread_cond_init() failed (%s)\n", strerror(err));
}

pSyncEvent::~pSyncEvent() { pthread_cond_destroy(&cond); }

bool pSyncEvent::Wait(int milliseconds) {
    pMutexLock lock(internal_mutex);
    return Wait(internal_mutex, milliseconds);
}

namespace {

// now + milliseconds on the wall clock, as pthread_cond_timedwait takes it.
timespec deadlineAfter(int milliseconds) {
    timeval now;
    gettimeofday(&now, nullptr);
    timespec at;
    at.tv_sec = now.tv_sec + milliseconds / 1000;
    at.tv_nsec = now.tv_usec * 1000L + (milliseconds % 1000) * 1000000L;
    if (at.tv_nsec > 999999999L) {
        at.tv_sec += 1;
        at.tv_nsec -= 1000000000L;
    }
    return at;
}

}  // namespace

bool pSyncEvent::Wait(pMutex& m, int milliseconds) {
    int err;
    if (milliseconds < 0) {
        err = pthread_cond_wait(&cond, m.Get());
    } else {
        do {
            timespec at = deadlineAfter(milliseconds);
            err = pthread_cond_timedwait(&cond, m.Get(), &at);
        } while (err == EINTR);
    }
    if (err == 0) return true;
    if (err == ETIMEDOUT) return false;
    __FATAL("pthread_cond_wait()/pthread_cond_timedwait() failed (%s)\n", strerror(err));
}

void pSyncEvent::Trigger() { Trigger(internal_mutex); }

void pSyncEvent::Trigger(pMutex& m) {
    pMutexLock lock(m);
    pthread_cond_signal(&cond);
}

pThread::pThread(bool detached, int stackSize) : Detached(detached), StackSize(stackSize) {}

pThread::~pThread() { Stop(); }

bool pThread::Start(const char* name) {
    if (Started) {
        if (Running) return false;
        // Ended by itself: a joinable thread is joined so that it does not leak.
        Started = false;
        if (!Detached) pthread_join(thread_id, nullptr);
    }
    Shutdown = false;
    Running = true;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (StackSize > 0) pthread_attr_setstacksize(&attr, static_cast<size_t>(StackSize));
    int err = pthread_create(&thread_id, &attr, Body, this);
    pthread_attr_destroy(&attr);
    if (err != 0) __FATAL("pthread_create() failed (%s)\n", strerror(err));
    Started = true;
    if (name) {
        // The kernel keeps 15 characters of a thread name.
        pthread_setname_np(thread_id, std::string(name).substr(0, 15).c_str());
    }
    if (Detached) pthread_detach(thread_id);
    return true;
}

void* pThread::Body(void* self) {
    auto* thread = static_cast<pThread*>(self);
    // Cancelled only at cancellation points, never in the middle of a
    // library call that holds a lock or owns memory.
    pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, nullptr);
    thread->Running = true;
    thread->Run();
    thread->Running = false;
    return nullptr;
}

void pThread::Stop() {
    Shutdown = true;
    if (Started.exchange(false)) {
        if (!Detached) {
            pthread_join(thread_id, nullptr);
        } else if (Running) {
            pthread_cancel(thread_id);
        }
    }
    Running = false;
}

void pThread::Sleep(int milliseconds) {
    timespec t;
    t.tv_sec = milliseconds / 1000;
    t.tv_nsec = (milliseconds % 1000) * 1000000L;
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}
