#include "platform/Dispatch.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/ThreadName.h"
#include "platform/ThreadSafety.h"

namespace pelk::platform {
namespace {

using Steady = std::chrono::steady_clock;

// The longest a task waits: a later deadline (infinity included) is clamped to
// this, so no deadline arithmetic can wrap round into the past.
constexpr Duration kFarFuture = std::chrono::hours(24 * 365 * 100);
// How long the exit shutdown waits for tasks that are running.
constexpr auto kExitGrace = std::chrono::seconds(5);
// Threads of the global pool beyond its base count end after this idle time.
constexpr auto kIdleLinger = std::chrono::seconds(2);

// `now` plus `delay`, with a non-positive delay giving `now` and a long one
// clamped to the far future; never wraps.
template <class TimePointT>
TimePointT deadlineAfter(TimePointT now, Duration delay) {
  if (delay <= Duration::zero()) return now;
  const auto d = std::chrono::duration_cast<typename TimePointT::duration>(std::min(delay, kFarFuture));
  if (now > TimePointT::max() - d) return TimePointT::max();
  return now + d;
}

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

// The state of a queue run by threads of its own.  The threads, and timers
// posting to the queue, share this state rather than the queue object, so a
// queue whose last owner lets go (even inside one of its own tasks) leaves
// nothing behind that points at freed memory.
struct QueueState {
  enum class Mode { running, draining, stopped };

  QueueState(std::string l, std::string name, int base, int max, Mode m)
      : label(std::move(l)), threadName(std::move(name)), baseWorkers(base), maxWorkers(max), mode(m) {}

  const std::string label;
  const std::string threadName;  // of each of its threads
  const int baseWorkers;         // threads kept while idle
  const int maxWorkers;          // 1 makes the queue serial
  // Lock order: a leaf (platform/LockOrder.h).
  Mutex mutex;
  std::condition_variable cv;      // new work, or a change of mode
  std::condition_variable exited;  // a thread ended
  std::map<std::pair<Steady::time_point, std::uint64_t>, Task> items PELK_GUARDED_BY(mutex);
  std::uint64_t seq PELK_GUARDED_BY(mutex) = 0;
  int workers PELK_GUARDED_BY(mutex) = 0;  // threads alive
  int busy PELK_GUARDED_BY(mutex) = 0;     // threads running a task
  Mode mode PELK_GUARDED_BY(mutex);
};

// Every thread queue alive, for the exit shutdown.  Never destroyed.
struct QueueRegistry {
  // Lock order: a leaf (platform/LockOrder.h).
  Mutex mutex;
  std::vector<std::weak_ptr<QueueState>> states PELK_GUARDED_BY(mutex);
  bool exiting PELK_GUARDED_BY(mutex) = false;
};

QueueRegistry& registry() {
  static auto* r = new QueueRegistry();
  return *r;
}

void shutdownAtExit();

void ensureExitShutdown() {
  static std::once_flag once;
  std::call_once(once, [] { std::atexit(shutdownAtExit); });
}

void runWorker(const std::shared_ptr<QueueState>& state);

// Starts one more thread; called with the state's lock held.
void spawnLocked(const std::shared_ptr<QueueState>& state) PELK_REQUIRES(state->mutex) {
  ensureExitShutdown();
  ++state->workers;
  try {
    std::thread([state] { runWorker(state); }).detach();
  } catch (const std::system_error& e) {
    --state->workers;
    std::fprintf(stderr, "pelk: queue %s cannot start a thread: %s\n", state->label.c_str(), e.what());
  }
}

// Queues `task` to run at `due`; false (and the task dropped) when the queue
// takes no more work.
bool enqueue(const std::shared_ptr<QueueState>& state, std::optional<Duration> delay, Task task) {
  {
    UniqueLock lock(state->mutex);
    if (state->mode == QueueState::Mode::running) {
      // The time is read under the lock, so tasks posted one after another
      // keep their order whichever threads post them.
      const auto now = Steady::now();
      state->items.emplace(std::make_pair(delay ? deadlineAfter(now, *delay) : now, state->seq++), std::move(task));
      if (state->workers - state->busy == 0 && state->workers < state->maxWorkers) {
        spawnLocked(state);
      } else {
        lock.unlock();
        state->cv.notify_one();
      }
      return true;
    }
  }
  task = nullptr;  // dropped outside the lock: its captures may do anything
  return false;
}

void runWorker(const std::shared_ptr<QueueState>& state) {
  nameThisThread(state->threadName);
  UniqueLock lock(state->mutex);
  while (state->mode != QueueState::Mode::stopped) {
    if (state->items.empty()) {
      if (state->mode == QueueState::Mode::draining) break;
      if (state->workers > state->baseWorkers) {
        if (lock.waitFor(state->cv, kIdleLinger) == std::cv_status::timeout && state->items.empty() &&
            state->workers > state->baseWorkers) {
          break;
        }
      } else {
        lock.wait(state->cv);
      }
      continue;
    }
    auto first = state->items.begin();
    // A copy: while this thread waits, another may run and erase that item.
    const Steady::time_point due = first->first.first;
    if (due > Steady::now()) {
      lock.waitUntil(state->cv, due);
      continue;
    }
    Task task = std::move(first->second);
    state->items.erase(first);
    ++state->busy;
    // Someone must be free for the work still queued (it may be what this
    // task waits for).
    if (!state->items.empty() && state->workers - state->busy == 0 && state->workers < state->maxWorkers) {
      spawnLocked(state);
    }
    lock.unlock();
    {
      CurrentQueueScope scope(state.get());
      runGuarded(task, state->label);
      task = nullptr;
    }
    lock.lock();
    --state->busy;
  }
  --state->workers;
  state->exited.notify_all();
}

// Stops every thread queue: called once, at process exit, before the static
// objects registered before the first queue thread started are destroyed.
void shutdownAtExit() {
  std::vector<std::shared_ptr<QueueState>> states;
  {
    auto& r = registry();
    LockGuard lock(r.mutex);
    r.exiting = true;
    for (auto& weak : r.states) {
      if (auto s = weak.lock()) states.push_back(std::move(s));
    }
  }
  for (auto& s : states) {
    decltype(s->items) dropped;
    {
      LockGuard lock(s->mutex);
      s->mode = QueueState::Mode::stopped;
      dropped.swap(s->items);
    }
    s->cv.notify_all();
  }
  const auto deadline = Steady::now() + kExitGrace;
  for (auto& s : states) {
    // When exit is called from a task, that task's own thread is still running it.
    const int own = tCurrentQueue == s.get() ? 1 : 0;
    UniqueLock lock(s->mutex);
    if (!lock.waitUntil(s->exited, deadline, [&]() PELK_REQUIRES(s->mutex) { return s->workers <= own; })) {
      std::fprintf(stderr, "pelk: queue %s still runs a task at exit\n", s->label.c_str());
    }
  }
}

std::shared_ptr<QueueState> makeState(std::string label, std::string threadName, int base, int max) {
  if (threadName.empty()) threadName = threadNameForLabel(label);
  auto& r = registry();
  LockGuard lock(r.mutex);
  // A queue made while the process exits is stopped from its start.
  auto state = std::make_shared<QueueState>(std::move(label), std::move(threadName), base, max,
                                            r.exiting ? QueueState::Mode::stopped : QueueState::Mode::running);
  std::erase_if(r.states, [](const std::weak_ptr<QueueState>& w) { return w.expired(); });
  r.states.push_back(state);
  return state;
}

class ThreadQueue final : public Queue {
 public:
  ThreadQueue(std::string label, std::string threadName, int baseWorkers, int maxWorkers)
      : state_(makeState(std::move(label), std::move(threadName), baseWorkers, maxWorkers)) {}

  ~ThreadQueue() override {
    decltype(state_->items) dropped;
    {
      LockGuard lock(state_->mutex);
      if (state_->mode == QueueState::Mode::running) {
        state_->mode = QueueState::Mode::draining;
        // Items are in deadline order: the ones not yet due are dropped, the
        // due ones stay and run.
        const auto firstLater = state_->items.upper_bound({Steady::now(), UINT64_MAX});
        dropped.insert(std::make_move_iterator(firstLater), std::make_move_iterator(state_->items.end()));
        state_->items.erase(firstLater, state_->items.end());
      }
    }
    state_->cv.notify_all();
    dropped.clear();
    if (isCurrent()) return;  // this queue's own thread finishes the due work and ends
    UniqueLock lock(state_->mutex);
    if (state_->mode == QueueState::Mode::stopped) {
      // Released during exit: a task still running past the grace is left behind.
      lock.waitFor(state_->exited, kExitGrace, [&]() PELK_REQUIRES(state_->mutex) { return state_->workers == 0; });
    } else {
      lock.wait(state_->exited, [&]() PELK_REQUIRES(state_->mutex) { return state_->workers == 0; });
    }
  }

  void async(Task task) override { enqueue(state_, std::nullopt, std::move(task)); }

  void asyncAfter(Duration delay, Task task) override { enqueue(state_, delay, std::move(task)); }

  void sync(Task task) override {
    if (isCurrent()) {
      task();
      return;
    }
    // The promise is shared with the task: the waiter may return (and unwind
    // this frame) while set_value is still finishing on the worker.  A task
    // dropped unrun (exit) breaks the promise, which ends the wait too.
    auto done = std::make_shared<std::promise<void>>();
    auto fut = done->get_future();
    enqueue(state_, std::nullopt, [&task, done, label = state_->label] {
      runGuarded(task, label);
      done->set_value();
    });
    done.reset();
    fut.wait();
  }

  bool isCurrent() const override { return tCurrentQueue == state_.get(); }
  const std::string& label() const override { return state_->label; }

  const std::shared_ptr<QueueState>& state() const { return state_; }

 private:
  std::shared_ptr<QueueState> state_;
};

// The main queue: threaded normally, manual (driven by the test) on request.
class MainQueue final : public Queue {
 public:
  MainQueue() : threaded_("main", "pelk-main", 1, 1) {}

  void async(Task task) override {
    if (manual_.load(std::memory_order_acquire)) {
      addManual(Clock::now(), std::move(task));
    } else {
      threaded_.async(std::move(task));
    }
  }

  void asyncAfter(Duration delay, Task task) override { post(delay, std::move(task)); }

  // asyncAfter that answers false when the queue refused the task (exit).
  bool post(Duration delay, Task task) {
    if (manual_.load(std::memory_order_acquire)) {
      addManual(deadlineAfter(Clock::now(), delay), std::move(task));
      return true;
    }
    return enqueue(threaded_.state(), delay, std::move(task));
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
      done.reset();
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
    LockGuard lock(mutex_);
    manualThread_ = std::this_thread::get_id();
    manual_.store(true, std::memory_order_release);
  }
  bool manual() const { return manual_.load(std::memory_order_acquire); }

  void setThreaded() {
    std::map<std::pair<TimePoint, std::uint64_t>, Task> waiting;
    {
      LockGuard lock(mutex_);
      manual_.store(false, std::memory_order_release);
      waiting.swap(items_);
    }
    const TimePoint now = Clock::now();
    for (auto& [due, task] : waiting) {
      threaded_.asyncAfter(due.first > now ? due.first - now : Duration::zero(), std::move(task));
    }
  }

  std::size_t drain() {
    takeMainThread();
    std::size_t ran = 0;
    while (runOneDue()) ++ran;
    return ran;
  }

  std::size_t advance(Duration by) {
    takeMainThread();
    const TimePoint target = deadlineAfter(Clock::now(), by);
    std::size_t ran = drain();
    while (true) {
      std::optional<TimePoint> next;
      {
        LockGuard lock(mutex_);
        if (!items_.empty() && items_.begin()->first.first <= target) next = items_.begin()->first.first;
      }
      if (!next) break;
      // Time passes (the steady clock moves too); it is not a step of the host's clock.
      if (*next > Clock::now()) Clock::advance(*next - Clock::now());
      ran += drain();
    }
    if (target > Clock::now()) Clock::advance(target - Clock::now());
    ran += drain();
    return ran;
  }

  std::size_t pending() {
    LockGuard lock(mutex_);
    return items_.size();
  }

 private:
  std::thread::id manualThread() const {
    LockGuard lock(mutex_);
    return manualThread_;
  }

  void takeMainThread() {
    LockGuard lock(mutex_);
    manualThread_ = std::this_thread::get_id();
  }

  void addManual(TimePoint due, Task task) {
    LockGuard lock(mutex_);
    items_.emplace(std::make_pair(due, seq_++), std::move(task));
  }

  bool runOneDue() {
    Task task;
    {
      LockGuard lock(mutex_);
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
  // Lock order: a leaf (platform/LockOrder.h).
  mutable Mutex mutex_;
  std::thread::id manualThread_ PELK_GUARDED_BY(mutex_);
  std::map<std::pair<TimePoint, std::uint64_t>, Task> items_ PELK_GUARDED_BY(mutex_);
  std::uint64_t seq_ PELK_GUARDED_BY(mutex_) = 0;
};

// Process-lifetime objects: never destroyed, so no worker outlives its queue
// during static destruction.
MainQueue& mainQueue() {
  static auto* q = new MainQueue();
  return *q;
}

// Posts a tick to the timer's queue; false when the queue takes no more work.
using TickPoster = std::function<bool(Duration, Task)>;

TickPoster posterFor(Queue& queue) {
  if (auto* thread = dynamic_cast<ThreadQueue*>(&queue)) {
    // Held weakly: a released queue ends the timer instead of being used after free.
    return [weak = std::weak_ptr<QueueState>(thread->state())](Duration delay, Task task) {
      auto state = weak.lock();
      return state && enqueue(state, delay, std::move(task));
    };
  }
  if (auto* main = dynamic_cast<MainQueue*>(&queue)) {
    return [main](Duration delay, Task task) { return main->post(delay, std::move(task)); };
  }
  // Any other queue must outlive the timer.
  return [&queue](Duration delay, Task task) {
    queue.asyncAfter(delay, std::move(task));
    return true;
  };
}

std::atomic<std::size_t> liveTimers{0};

class RepeatingTimer final : public Timer, public std::enable_shared_from_this<RepeatingTimer> {
 public:
  RepeatingTimer(Queue& queue, Duration interval, Task task)
      : post_(posterFor(queue)), interval_(std::max(interval, Duration(1))), task_(std::move(task)) {
    if (auto* thread = dynamic_cast<ThreadQueue*>(&queue)) {
      queueState_ = thread->state();
      onThreadQueue_ = true;
    }
    liveTimers.fetch_add(1, std::memory_order_relaxed);
  }
  ~RepeatingTimer() override { invalidate(); }

  void start() { scheduleNext(); }
  void invalidate() override {
    if (valid_.exchange(false, std::memory_order_acq_rel)) liveTimers.fetch_sub(1, std::memory_order_relaxed);
  }
  bool isValid() const override {
    if (!valid_.load(std::memory_order_acquire)) return false;
    if (!onThreadQueue_) return true;
    // A released queue has dropped the next tick: the timer has ended.
    auto state = queueState_.lock();
    if (!state) return false;
    LockGuard lock(state->mutex);
    return state->mode == QueueState::Mode::running;
  }

 private:
  void scheduleNext() {
    std::weak_ptr<RepeatingTimer> weak = shared_from_this();
    const bool posted = post_(interval_, [weak] {
      auto self = weak.lock();
      if (!self || !self->valid_.load(std::memory_order_acquire)) return;
      self->task_();
      if (self->valid_.load(std::memory_order_acquire)) self->scheduleNext();
    });
    if (!posted) invalidate();
  }

  const TickPoster post_;
  std::weak_ptr<QueueState> queueState_;
  bool onThreadQueue_ = false;
  const Duration interval_;
  const Task task_;
  std::atomic<bool> valid_{true};
};

}  // namespace

Queue& Dispatch::main() { return mainQueue(); }

Queue& Dispatch::global() {
  static auto* q = new ThreadQueue("global", "pelk-global", 4, 64);
  return *q;
}

std::shared_ptr<Queue> Dispatch::makeSerial(std::string label, std::string threadName) {
  return std::make_shared<ThreadQueue>(std::move(label), std::move(threadName), 1, 1);
}

bool Dispatch::isMainThread() { return mainQueue().isCurrent(); }

void Dispatch::assertOnMain(const char* function) {
  if (mainQueue().isCurrent()) return;
  std::fprintf(stderr, "pelk: %s must run on the main queue; called on thread \"%s\"\n", function,
               thisThreadName().c_str());
  std::fflush(stderr);
  std::abort();
}

std::size_t Dispatch::liveRepeatingTimers() { return liveTimers.load(std::memory_order_relaxed); }

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
