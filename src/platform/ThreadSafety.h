#pragma once

// Mutexes and locks that clang's thread-safety analysis can follow
// (-Wthread-safety; scripts/build.sh threads).  libstdc++'s mutexes carry no
// annotations, so the kit's own locks are these thin wrappers: a member marked
// PELK_GUARDED_BY(m) may be touched only while `m` is held, a function marked
// PELK_REQUIRES(m) is called with it held, PELK_EXCLUDES(m) without it.  With
// other compilers the macros are empty and the wrappers cost nothing.
//
// The analysis sees one function at a time: a lambda that reads guarded state
// under a lock its caller holds (a condition's predicate) says so with
// PELK_REQUIRES after its parameter list.

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define PELK_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define PELK_THREAD_ANNOTATION(x)
#endif

#define PELK_CAPABILITY(x) PELK_THREAD_ANNOTATION(capability(x))
#define PELK_SCOPED_CAPABILITY PELK_THREAD_ANNOTATION(scoped_lockable)
#define PELK_GUARDED_BY(x) PELK_THREAD_ANNOTATION(guarded_by(x))
#define PELK_PT_GUARDED_BY(x) PELK_THREAD_ANNOTATION(pt_guarded_by(x))
#define PELK_REQUIRES(...) PELK_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define PELK_EXCLUDES(...) PELK_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define PELK_ACQUIRE(...) PELK_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define PELK_RELEASE(...) PELK_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define PELK_TRY_ACQUIRE(...) PELK_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define PELK_RETURN_CAPABILITY(x) PELK_THREAD_ANNOTATION(lock_returned(x))
#define PELK_NO_THREAD_SAFETY_ANALYSIS PELK_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace pelk::platform {

// std::mutex, as a capability the analysis knows.
class PELK_CAPABILITY("mutex") Mutex {
 public:
  void lock() PELK_ACQUIRE() { mutex_.lock(); }
  void unlock() PELK_RELEASE() { mutex_.unlock(); }
  bool try_lock() PELK_TRY_ACQUIRE(true) { return mutex_.try_lock(); }
  std::mutex& native() { return mutex_; }

 private:
  std::mutex mutex_;
};

// std::recursive_mutex.  The analysis does not model taking it again on the
// same thread: a function that may do so takes it through a call, not twice in
// its own body.
class PELK_CAPABILITY("mutex") RecursiveMutex {
 public:
  void lock() PELK_ACQUIRE() { mutex_.lock(); }
  void unlock() PELK_RELEASE() { mutex_.unlock(); }
  bool try_lock() PELK_TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  std::recursive_mutex mutex_;
};

// std::lock_guard for either mutex.
template <class M>
class PELK_SCOPED_CAPABILITY LockGuard {
 public:
  explicit LockGuard(M& mutex) PELK_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~LockGuard() PELK_RELEASE() { mutex_.unlock(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  M& mutex_;
};
template <class M>
LockGuard(M&) -> LockGuard<M>;

// std::unique_lock on a Mutex: may be released and taken again, and waits on
// a std::condition_variable (released while waiting, held again on return).
class PELK_SCOPED_CAPABILITY UniqueLock {
 public:
  explicit UniqueLock(Mutex& mutex) PELK_ACQUIRE(mutex) : lock_(mutex.native()) {}
  ~UniqueLock() PELK_RELEASE() {}
  UniqueLock(const UniqueLock&) = delete;
  UniqueLock& operator=(const UniqueLock&) = delete;

  void lock() PELK_ACQUIRE() { lock_.lock(); }
  void unlock() PELK_RELEASE() { lock_.unlock(); }

  void wait(std::condition_variable& cv) { cv.wait(lock_); }
  template <class Predicate>
  void wait(std::condition_variable& cv, Predicate ready) {
    cv.wait(lock_, std::move(ready));
  }
  template <class Rep, class Period>
  std::cv_status waitFor(std::condition_variable& cv, std::chrono::duration<Rep, Period> span) {
    return cv.wait_for(lock_, span);
  }
  template <class Rep, class Period, class Predicate>
  bool waitFor(std::condition_variable& cv, std::chrono::duration<Rep, Period> span, Predicate ready) {
    return cv.wait_for(lock_, span, std::move(ready));
  }
  template <class Clock, class Dur>
  std::cv_status waitUntil(std::condition_variable& cv, std::chrono::time_point<Clock, Dur> deadline) {
    return cv.wait_until(lock_, deadline);
  }
  template <class Clock, class Dur, class Predicate>
  bool waitUntil(std::condition_variable& cv, std::chrono::time_point<Clock, Dur> deadline, Predicate ready) {
    return cv.wait_until(lock_, deadline, std::move(ready));
  }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace pelk::platform
