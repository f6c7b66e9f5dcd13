#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/Clock.h"

namespace pelk::platform {

using Task = std::function<void()>;

// A queue of work: serial queues run one task at a time in order, the global
// queue runs tasks on a small pool.
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

// A repeating timer; it fires on its queue until invalidated.
class Timer {
 public:
  virtual ~Timer() = default;
  virtual void invalidate() = 0;
  virtual bool isValid() const = 0;
};

class Dispatch {
 public:
  // The one main queue.  Normally a kit-owned thread runs it; in manual mode
  // (tests) nothing runs until the test drains it or advances the clock.
  static Queue& main();
  // The shared pool for background work.
  static Queue& global();
  static std::shared_ptr<Queue> makeSerial(std::string label);

  static bool isMainThread();

  // Fires `task` on `queue` every `interval`, the first time one interval from now.
  static std::shared_ptr<Timer> scheduleRepeating(Queue& queue, Duration interval, Task task);

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
};

}  // namespace pelk::platform
