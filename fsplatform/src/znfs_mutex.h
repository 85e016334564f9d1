#ifndef ZNFS_MUTEX_H
#define ZNFS_MUTEX_H

// A mutex, a scoped lock and a condition variable that clang's thread-safety analysis can
// follow: libstdc++'s std::mutex carries no annotations, so data guarded by one could not be
// checked. Each is a thin shell over the std type it holds. Internal to this project.

#include "znfs_thread_annotations.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace znfs {

class CAPABILITY("mutex") mutex {
public:
    // Constant-initialised, as std::mutex is: a global one is ready before any constructor runs.
    constexpr mutex() = default;
    mutex(const mutex&) = delete;
    mutex& operator=(const mutex&) = delete;

    void lock() ACQUIRE() { m_mutex.lock(); }
    void unlock() RELEASE() { m_mutex.unlock(); }

private:
    friend class cond_var;
    std::mutex m_mutex;
};

// Holds a mutex from its construction to the end of its scope.
class SCOPED_CAPABILITY mutex_lock {
public:
    explicit mutex_lock(mutex& mu) ACQUIRE(mu) : m_mu(mu) { m_mu.lock(); }
    ~mutex_lock() RELEASE() { m_mu.unlock(); }

    mutex_lock(const mutex_lock&) = delete;
    mutex_lock& operator=(const mutex_lock&) = delete;

private:
    mutex& m_mu;
};

// Waited on with its mutex held; the wait releases the mutex and holds it again when it
// returns. A wait may also end without a notification, so callers test their condition in a
// loop, which keeps the guarded reads in the caller where the analysis sees the lock.
class cond_var {
public:
    cond_var() = default;
    cond_var(const cond_var&) = delete;
    cond_var& operator=(const cond_var&) = delete;

    void wait(mutex& mu) REQUIRES(mu)
    {
        std::unique_lock<std::mutex> lock(mu.m_mutex, std::adopt_lock);
        m_cv.wait(lock);
        lock.release();
    }

    // False when it returned because the deadline passed.
    template <class Clock, class Duration>
    bool wait_until(mutex& mu, const std::chrono::time_point<Clock, Duration>& deadline) REQUIRES(mu)
    {
        std::unique_lock<std::mutex> lock(mu.m_mutex, std::adopt_lock);
        std::cv_status woke = m_cv.wait_until(lock, deadline);
        lock.release();
        return woke == std::cv_status::no_timeout;
    }

    void notify_one() { m_cv.notify_one(); }
    void notify_all() { m_cv.notify_all(); }

private:
    std::condition_variable m_cv;
};

}  // namespace znfs

#endif
