// The gateway's locks, annotated so that clang's -Wthread-safety checks at
// compile time which data each mutex guards and which functions need it held
// (GUARDED_BY, REQUIRES), and ThreadSanitizer checks the rest at run time
// (the tsan preset builds both).
//
// libstdc++'s std::mutex carries no annotations, hence these thin wrappers.
// The analysis does not see into lambdas: wait in a loop on the condition,
// not with a predicate.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define WN_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define WN_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) WN_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY WN_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) WN_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) WN_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) WN_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) WN_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) WN_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) WN_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RETURN_CAPABILITY(x) WN_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS WN_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace westnet::gateway {

class CAPABILITY("mutex") Mutex {
public:
    void Lock() ACQUIRE() { mutex_.lock(); }
    void Unlock() RELEASE() { mutex_.unlock(); }
    // For the analysis: tells it the caller holds this (checked by nothing).
    void AssertHeld() const WN_THREAD_ANNOTATION(assert_capability(this)) {}

private:
    friend class MutexLock;
    std::mutex mutex_;
};

// Holds a Mutex for its scope; Unlock and Lock release and take it again
// within the scope, Wait waits on a condition variable with it released.
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.mutex_) {}
    ~MutexLock() RELEASE() {}
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void Unlock() RELEASE() { lock_.unlock(); }
    void Lock() ACQUIRE() { lock_.lock(); }

    void Wait(std::condition_variable& wake) { wake.wait(lock_); }
    // false once `deadline` has passed.
    template <class Clock, class Duration>
    bool WaitUntil(std::condition_variable& wake,
                   const std::chrono::time_point<Clock, Duration>& deadline) {
        return wake.wait_until(lock_, deadline) == std::cv_status::no_timeout;
    }
    template <class Rep, class Period>
    bool WaitFor(std::condition_variable& wake, const std::chrono::duration<Rep, Period>& time) {
        return wake.wait_for(lock_, time) == std::cv_status::no_timeout;
    }

private:
    std::unique_lock<std::mutex> lock_;
};

// Many readers or one writer: readers are a front end's requests, the writer
// a reload that must find none of them under way.
class CAPABILITY("mutex") SharedMutex {
public:
    void Lock() ACQUIRE() { mutex_.lock(); }
    void Unlock() RELEASE() { mutex_.unlock(); }
    void LockShared() WN_THREAD_ANNOTATION(acquire_shared_capability()) { mutex_.lock_shared(); }
    void UnlockShared() WN_THREAD_ANNOTATION(release_shared_capability()) {
        mutex_.unlock_shared();
    }

private:
    std::shared_mutex mutex_;
};

class SCOPED_CAPABILITY ReaderLock {
public:
    explicit ReaderLock(SharedMutex& mutex) WN_THREAD_ANNOTATION(acquire_shared_capability(mutex))
        : mutex_(mutex) {
        mutex_.LockShared();
    }
    ~ReaderLock() RELEASE() {
        if (held_) {
            mutex_.UnlockShared();
        }
    }
    // Early, for what must not be done with it held.
    void Unlock() RELEASE() {
        mutex_.UnlockShared();
        held_ = false;
    }
    ReaderLock(const ReaderLock&) = delete;
    ReaderLock& operator=(const ReaderLock&) = delete;

private:
    SharedMutex& mutex_;
    bool held_ = true;
};

}  // namespace westnet::gateway
