/*
 * tovu_thread_safety.h - the attributes of clang's thread-safety analysis
 * (-Wthread-safety), and the mutexes and scoped locks that carry them.
 *
 * Under clang each TOVU_ macro is the attribute of the same name; under any
 * other compiler it is nothing. The locks of this tree, what each guards and
 * which may be taken under which: docs/threads.md.
 *
 * Recursive mutexes: the analysis knows no recursion, so a function takes a
 * recursive lock at most once itself; a function it calls may take it again
 * (calls are not followed), and a helper that needs the lock held says so
 * with TOVU_REQUIRES rather than taking it.
 */
#ifndef TOVU_THREAD_SAFETY_H
#define TOVU_THREAD_SAFETY_H

#if defined(__clang__) && defined(__cplusplus)
#define TOVU_TSA_ATTRIBUTE(x) __attribute__((x))
#else
#define TOVU_TSA_ATTRIBUTE(x)
#endif

#define TOVU_CAPABILITY(name) TOVU_TSA_ATTRIBUTE(capability(name))
#define TOVU_SCOPED_CAPABILITY TOVU_TSA_ATTRIBUTE(scoped_lockable)
#define TOVU_GUARDED_BY(m) TOVU_TSA_ATTRIBUTE(guarded_by(m))
#define TOVU_PT_GUARDED_BY(m) TOVU_TSA_ATTRIBUTE(pt_guarded_by(m))
#define TOVU_ACQUIRED_BEFORE(...) TOVU_TSA_ATTRIBUTE(acquired_before(__VA_ARGS__))
#define TOVU_ACQUIRED_AFTER(...) TOVU_TSA_ATTRIBUTE(acquired_after(__VA_ARGS__))
#define TOVU_REQUIRES(...) TOVU_TSA_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define TOVU_ACQUIRE(...) TOVU_TSA_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define TOVU_RELEASE(...) TOVU_TSA_ATTRIBUTE(release_capability(__VA_ARGS__))
#define TOVU_TRY_ACQUIRE(...) TOVU_TSA_ATTRIBUTE(try_acquire_capability(__VA_ARGS__))
#define TOVU_EXCLUDES(...) TOVU_TSA_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define TOVU_ASSERT_CAPABILITY(x) TOVU_TSA_ATTRIBUTE(assert_capability(x))
#define TOVU_RETURN_CAPABILITY(x) TOVU_TSA_ATTRIBUTE(lock_returned(x))
/* an escape for one function whose locking the analysis cannot follow; say
   why beside each use */
#define TOVU_NO_THREAD_SAFETY_ANALYSIS TOVU_TSA_ATTRIBUTE(no_thread_safety_analysis)

#ifdef __cplusplus
#include <chrono>
#include <condition_variable>
#include <mutex>

/* std::mutex or std::recursive_mutex (M) as a capability; lock(), unlock()
   and try_lock() as the standard's, so std::lock_guard works too (unseen by
   the analysis: use TovuScopedLock) */
template <class M>
class TOVU_CAPABILITY("mutex") TovuMutexOf {
public:
    TovuMutexOf() = default;
    TovuMutexOf(const TovuMutexOf &) = delete;
    TovuMutexOf &operator=(const TovuMutexOf &) = delete;

    void lock() TOVU_ACQUIRE() { m_mutex.lock(); }
    void unlock() TOVU_RELEASE() { m_mutex.unlock(); }
    bool try_lock() TOVU_TRY_ACQUIRE(true) { return m_mutex.try_lock(); }
    /* for a condition variable's wait (TovuUniqueLock) */
    M &native() { return m_mutex; }

private:
    M m_mutex;
};

using TovuMutex = TovuMutexOf<std::mutex>;
using TovuRecursiveMutex = TovuMutexOf<std::recursive_mutex>;

/* holds a mutex of the tree for its scope */
template <class Mutex>
class TOVU_SCOPED_CAPABILITY TovuScopedLock {
public:
    explicit TovuScopedLock(Mutex &mutex) TOVU_ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.lock(); }
    ~TovuScopedLock() TOVU_RELEASE() { m_mutex.unlock(); }
    TovuScopedLock(const TovuScopedLock &) = delete;
    TovuScopedLock &operator=(const TovuScopedLock &) = delete;

private:
    Mutex &m_mutex;
};

using TovuMutexLock = TovuScopedLock<TovuMutex>;

/* holds a TovuMutex for its scope, and lets a condition variable wait on it.
   Test the condition in the waiting function itself, in a loop around
   wait(): a predicate lambda is a function of its own to the analysis,
   which holds no lock there. */
class TOVU_SCOPED_CAPABILITY TovuUniqueLock {
public:
    explicit TovuUniqueLock(TovuMutex &mutex) TOVU_ACQUIRE(mutex) : m_lock(mutex.native()) {}
    ~TovuUniqueLock() TOVU_RELEASE() {}
    TovuUniqueLock(const TovuUniqueLock &) = delete;
    TovuUniqueLock &operator=(const TovuUniqueLock &) = delete;

    /* lets the mutex go while it waits, holds it again on return */
    void wait(std::condition_variable &cv) { cv.wait(m_lock); }
    template <class Clock, class Duration>
    std::cv_status waitUntil(std::condition_variable &cv,
                             const std::chrono::time_point<Clock, Duration> &until)
    {
        return cv.wait_until(m_lock, until);
    }

private:
    std::unique_lock<std::mutex> m_lock;
};

#endif /* __cplusplus */

#endif /* TOVU_THREAD_SAFETY_H */
