#include "platform/Dispatch.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace pelk::platform {
namespace {

using Steady = std::chrono::steady_clock;

void runGuarded(const Task& task, const std::string& label) {
  try {
    if (task) task();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pelk: task on %s threw: %s\n", label.c_str(), e.what());
  } catch (...) {
    std::fprintf(stderr, "pelk: task on %s threw\n", label.c_str());
  }
}

// Which queue, if any, the current thread is running a task of (an identity
// only, never dereferenced).
thread_local const void* tCurrentQueue = nullptr;

struct CurrentQueueScope {
  const void* saved;
  explicit CurrentQueueScope(const void* q) : saved(tCurrentQueue) { tCurrentQueue = q; }
  ~CurrentQueueScope() { tCurrentQueue = saved; }
};

// A queue run by `workers` threads of its own; one worker makes it serial.
// The workers share the queue's state rather than the queue itself, so a queue
// whose last owner lets go inside one of its own tasks ends cleanly: that
// worker is detached, sees the stop and leaves without touching freed memory.
class ThreadQueue final : public Queue {
 public:
  ThreadQueue(std::string label, int workers) : state_(std::make_shared<State>(std::move(label), workers)) {}

  ~ThreadQueue() override {
    std::vector<std::thread> threads;
    {
      std::lock_guard lock(state_->mutex);
      state_->stopping = true;
      threads.swap(state_->threads);
    }
    state_->cv.notify_all();
    for (auto& t : threads) {
      if (t.get_id() == std::this_thread::get_id()) {
        t.detach();
      } else if (t.joinable()) {
        t.join();
      }
    }
  }

  void async(Task task) override { enqueue(Steady::now(), std::move(task)); }

  void asyncAfter(Duration delay, Task task) override {
    const auto d = std::chrono::duration_cast<Steady::duration>(std::max(delay, Duration::zero()));
    enqueue(Steady::now() + d, std::move(task));
  }

  void sync(Task task) override {
    if (isCurrent()) {
      task();
      return;
    }
    // The promise is shared with the task: the waiter may return (and unwind
    // this frame) while set_value is still finishing on the worker.
    auto done = std::make_shared<std::promise<void>>();
    auto fut = done->get_future();
    async([&task, done, label = state_->label] {
      runGuarded(task, label);
      done->set_value();
    });
    fut.wait();
  }

  bool isCurrent() const override { return tCurrentQueue == state_.get(); }
  const std::string& label() const override { return state_->label; }

 private:
  struct State {
    State(std::string l, int w) : label(std::move(l)), workerCount(w) {}
    const std::string label;
    const int workerCount;
    std::mutex mutex;
    std::condition_variable cv;
    std::map<std::pair<Steady::time_point, std::uint64_t>, Task> items;
    std::uint64_t seq = 0;
    bool stopping = false;
    std::vector<std::thread> threads;
  };

  void enqueue(Steady::time_point due, Task task) {
    {
      std::lock_guard lock(state_->mutex);
      if (state_->stopping) return;
      state_->items.emplace(std::make_pair(due, state_->seq++), std::move(task));
      if (state_->threads.empty()) {
        for (int i = 0; i < state_->workerCount; ++i) {
          state_->threads.emplace_back([state = state_] { run(state); });
        }
      }
    }
    state_->cv.notify_one();
  }

  static void run(const std::shared_ptr<State>& state) {
    std::unique_lock lock(state->mutex);
    while (true) {
      if (state->stopping) return;
      if (state->items.empty()) {
        state->cv.wait(lock);
        continue;
      }
      auto first = state->items.begin();
      // A copy: while this worker waits, another may run and erase that item.
      const Steady::time_point due = first->first.first;
      if (due > Steady::now()) {
        state->cv.wait_until(lock, due);
        continue;
      }
      Task task = std::move(first->second);
      state->items.erase(first);
      lock.unlock();
      {
        CurrentQueueScope scope(state.get());
        runGuarded(task, state->label);
      }
      task = nullptr;
      lock.lock();
    }
  }

  std::shared_ptr<State> state_;
};

// The main queue: threaded normally, manual (driven by the test) on request.
class MainQueue final : public Queue {
 public:
  MainQueue() : threaded_("main", 1) {}

  void async(Task task) override {
    if (manual_.load(std::memory_order_acquire)) {
      addManual(Clock::now(), std::move(task));
    } else {
      threaded_.async(std::move(task));
    }
  }

  void asyncAfter(Duration delay, Task task) override {
    if (manual_.load(std::memory_order_acquire)) {
      addManual(Clock::now() + std::max(delay, Duration::zero()), std::move(task));
    } else {
      threaded_.asyncAfter(delay, std::move(task));
    }
  }

  void sync(Task task) override {
    if (isCurrent()) {
      task();
      return;
    }
    if (manual_.load(std::memory_order_acquire)) {
      // Waits until the test drains the main queue.
      auto done = std::make_shared<std::promise<void>>();
      auto fut = done->get_future();
      async([&task, done, this] {
        runGuarded(task, label());
        done->set_value();
      });
      fut.wait();
      return;
    }
    threaded_.sync(std::move(task));
  }

  bool isCurrent() const override {
    if (manual_.load(std::memory_order_acquire)) {
      return std::this_thread::get_id() == manualThread();
    }
    return threaded_.isCurrent();
  }

  const std::string& label() const override { return threaded_.label(); }

  void setManual() {
    std::lock_guard lock(mutex_);
    manualThread_ = std::this_thread::get_id();
    manual_.store(true, std::memory_order_release);
  }
  bool manual() const { return manual_.load(std::memory_order_acquire); }

  void setThreaded() {
    std::map<std::pair<TimePoint, std::uint64_t>, Task> waiting;
    {
      std::lock_guard lock(mutex_);
      manual_.store(false, std::memory_order_release);
      waiting.swap(items_);
    }
    const TimePoint now = Clock::now();
    for (auto& [due, task] : waiting) threaded_.asyncAfter(due.first - now, std::move(task));
  }

  std::size_t drain() {
    takeMainThread();
    std::size_t ran = 0;
    while (runOneDue()) ++ran;
    return ran;
  }

  std::size_t advance(Duration by) {
    takeMainThread();
    const TimePoint target = Clock::now() + by;
    std::size_t ran = drain();
    while (true) {
      std::optional<TimePoint> next;
      {
        std::lock_guard lock(mutex_);
        if (!items_.empty() && items_.begin()->first.first <= target) next = items_.begin()->first.first;
      }
      if (!next) break;
      if (*next > Clock::now()) Clock::setVirtualNow(*next);
      ran += drain();
    }
    if (target > Clock::now()) Clock::setVirtualNow(target);
    ran += drain();
    return ran;
  }

  std::size_t pending() {
    std::lock_guard lock(mutex_);
    return items_.size();
  }

 private:

  std::thread::id manualThread() const {
    std::lock_guard lock(mutex_);
    return manualThread_;
  }

  void takeMainThread() {
    std::lock_guard lock(mutex_);
    manualThread_ = std::this_thread::get_id();
  }

  void addManual(TimePoint due, Task task) {
    std::lock_guard lock(mutex_);
    items_.emplace(std::make_pair(due, seq_++), std::move(task));
  }

  bool runOneDue() {
    Task task;
    {
      std::lock_guard lock(mutex_);
      if (items_.empty() || items_.begin()->first.first > Clock::now()) return false;
      task = std::move(items_.begin()->second);
      items_.erase(items_.begin());
    }
    CurrentQueueScope scope(this);
    runGuarded(task, label());
    return true;
  }

  ThreadQueue threaded_;
  std::atomic<bool> manual_{false};
  mutable std::mutex mutex_;
  std::thread::id manualThread_;
  std::map<std::pair<TimePoint, std::uint64_t>, Task> items_;
  std::uint64_t seq_ = 0;
};

// Process-lifetime objects: never destroyed, so no worker outlives its queue
// during static destruction.
MainQueue& mainQueue() {
  static auto* q = new MainQueue();
  return *q;
}

class RepeatingTimer final : public Timer, public std::enable_shared_from_this<RepeatingTimer> {
 public:
  RepeatingTimer(Queue& queue, Duration interval, Task task)
      : queue_(queue), interval_(std::max(interval, Duration(1))), task_(std::move(task)) {}

  void start() { scheduleNext(); }
  void invalidate() override { valid_.store(false, std::memory_order_release); }
  bool isValid() const override { return valid_.load(std::memory_order_acquire); }

 private:
  void scheduleNext() {
    std::weak_ptr<RepeatingTimer> weak = shared_from_this();
    queue_.asyncAfter(interval_, [weak] {
      auto self = weak.lock();
      if (!self || !self->isValid()) return;
      self->task_();
      if (self->isValid()) self->scheduleNext();
    });
  }

  Queue& queue_;
  const Duration interval_;
  const Task task_;
  std::atomic<bool> valid_{true};
};

}  // namespace

Queue& Dispatch::main() { return mainQueue(); }

Queue& Dispatch::global() {
  static auto* q = new ThreadQueue("global", 4);
  return *q;
}

std::shared_ptr<Queue> Dispatch::makeSerial(std::string label) {
  return std::make_shared<ThreadQueue>(std::move(label), 1);
}

bool Dispatch::isMainThread() { return mainQueue().isCurrent(); }

std::shared_ptr<Timer> Dispatch::scheduleRepeating(Queue& queue, Duration interval, Task task) {
  auto timer = std::make_shared<RepeatingTimer>(queue, interval, std::move(task));
  timer->start();
  return timer;
}

void Dispatch::useManualMainQueue() {
  if (!Clock::isVirtual()) Clock::useVirtual(std::chrono::system_clock::now());
  mainQueue().setManual();
}

void Dispatch::useThreadedMainQueue() { mainQueue().setThreaded(); }

bool Dispatch::isManual() { return mainQueue().manual(); }

std::size_t Dispatch::drainMain() { return mainQueue().manual() ? mainQueue().drain() : 0; }

std::size_t Dispatch::advanceClock(Duration by) {
  if (!mainQueue().manual()) {
    Clock::advance(by);
    return 0;
  }
  return mainQueue().advance(by);
}

std::size_t Dispatch::pendingMainTasks() { return mainQueue().manual() ? mainQueue().pending() : 0; }

}  // namespace pelk::platform
