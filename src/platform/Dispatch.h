#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/Clock.h"

namespace pelk::platform {

using Task = std::function<void()>;

// A queue of work: serial queues run one task at a time in order, the global
// queue runs tasks on a pool.
//
// Delays: a negative delay (or NaN seconds, which `seconds()` reads as 0) runs
// the task as soon as possible; a delay longer than a century, infinity
// included, waits a century, so such a task in practice never runs.
//
// Releasing a serial queue (its last shared_ptr) stops it taking new work, but
// every task already due still runs, in order; tasks posted with a delay that
// has not passed yet are dropped, and timers on it stop.  Released from a
// thread other than its own, the release returns once those tasks have run;
// released inside one of its own tasks, the queue's thread finishes them and
// then ends.
//
// At process exit (after `main` returns or `exit` is called) every queue stops:
// new work is refused, queued work is dropped and the tasks running then are
// waited for (a few seconds at most), so no kit thread runs while the
// process's static objects are destroyed.  A `sync` whose task was dropped
// returns without running it.
class Queue {
 public:
  virtual ~Queue() = default;
  virtual void async(Task task) = 0;
  virtual void asyncAfter(Duration delay, Task task) = 0;
  // Runs the task and returns when it has run.  Called on the queue itself the
  // task runs at once, so nested sync calls cannot deadlock.
  virtual void sync(Task task) = 0;
  // True when the calling thread is running a task of this queue.
  virtual bool isCurrent() const = 0;
  virtual const std::string& label() const = 0;
};

// A repeating timer; it fires on its queue until invalidated, until the last
// handle to it is dropped (dropping the handle stops it, as invalidate() does)
// or until its queue is released.
class Timer {
 public:
  virtual ~Timer() = default;
  virtual void invalidate() = 0;
  // False once invalidated, once its queue is released, or once the queue
  // refused a tick (process exit).
  virtual bool isValid() const = 0;
};

class Dispatch {
 public:
  // The kit's threads are named for `top -H` and gdb: "pelk-main",
  // "pelk-global" (each thread of the pool), and each serial queue's own.
  // The one main queue.  Normally a kit-owned thread runs it; in manual mode
  // (tests) nothing runs until the test drains it or advances the clock.
  static Queue& main();
  // The shared pool for background work.  It keeps up to four threads, and
  // adds a thread whenever every thread is busy and more work is queued (so
  // tasks that wait for a later task still finish), up to 64 threads; threads
  // beyond four end after a short idle time.  Sixty-four tasks that all wait
  // for later work deadlock.
  static Queue& global();
  // `threadName` names its thread (15 characters at most); empty, it comes
  // from the label ("pelk-" and the label's last dot-separated part).
  static std::shared_ptr<Queue> makeSerial(std::string label, std::string threadName = {});

  static bool isMainThread();
  // Aborts, naming `function` and the calling thread on stderr, unless the
  // caller is on the main queue (in manual mode: the test's thread).  Use
  // PELK_ASSERT_ON_MAIN(), which costs nothing in release builds.
  static void assertOnMain(const char* function);

  // Fires `task` on `queue` every `interval`, the first time one interval from
  // now.  Keep the handle: the timer lives only as long as it is held.
  [[nodiscard]] static std::shared_ptr<Timer> scheduleRepeating(Queue& queue, Duration interval, Task task);

  // Manual main queue for tests.  Switches the clock to virtual time (starting
  // at the current system time unless it is virtual already) and makes the
  // calling thread the main thread.  Call before anything is posted to main.
  static void useManualMainQueue();
  // Back to the kit-owned main thread; waiting tasks move over with the time
  // they still had to wait.
  static void useThreadedMainQueue();
  static bool isManual();
  // Runs every main-queue task that is due, including tasks posted meanwhile;
  // answers how many ran.
  static std::size_t drainMain();
  // Moves the virtual clock forward, running due tasks in deadline order with
  // the clock set to each task's deadline.
  static std::size_t advanceClock(Duration by);
  // Number of main-queue tasks waiting (manual mode only; 0 otherwise).
  static std::size_t pendingMainTasks();
  // Repeating timers neither invalidated nor dropped yet, on any queue
  // (tests: a timer that is replaced must not keep firing).
  static std::size_t liveRepeatingTimers();
};

}  // namespace pelk::platform

// State that lives on the main queue (the tracking modes, the location engine,
// the MQTT status, trip progress, the manager's reactions) checks at its entry
// points that it is there: in debug builds, and in the sanitizer builds
// (cmake/PelkSanitizers.cmake defines PELK_THREAD_CHECKS).
#if !defined(NDEBUG) && !defined(PELK_THREAD_CHECKS)
#define PELK_THREAD_CHECKS 1
#endif
#if defined(PELK_THREAD_CHECKS) && PELK_THREAD_CHECKS
#define PELK_ASSERT_ON_MAIN() ::pelk::platform::Dispatch::assertOnMain(__PRETTY_FUNCTION__)
#else
#define PELK_ASSERT_ON_MAIN() ((void)0)
#endif
