#include "platform/Console.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/ThreadName.h"
#include "platform/ThreadSafety.h"

namespace pelk::platform {
namespace {

using Observer = std::function<void(const std::string&)>;

struct Line {
  Console::Level level;
  std::string text;
};

// Process lifetime, never destroyed: the console thread may still be inside a
// host handler when the process's static objects go.
struct State {
  // Lock order: a leaf (platform/LockOrder.h).  Nothing is called out under
  // it; stdout is written under it so that lines keep their order.
  Mutex mutex;
  std::condition_variable work;   // a line queued, or the destination changed
  std::condition_variable moved;  // the console thread finished a line

  enum class Destination { standardOutput, none, handler };
  Destination destination PELK_GUARDED_BY(mutex) = Destination::standardOutput;
  std::shared_ptr<const Console::Handler> handler PELK_GUARDED_BY(mutex);
  std::uint64_t handlerGeneration PELK_GUARDED_BY(mutex) = 0;
  // The generation of the handler running on the console thread; 0 when none.
  std::uint64_t running PELK_GUARDED_BY(mutex) = 0;

  std::deque<Line> queue PELK_GUARDED_BY(mutex);
  std::size_t dropped PELK_GUARDED_BY(mutex) = 0;
  std::size_t droppedSinceNotice PELK_GUARDED_BY(mutex) = 0;

  bool threadStarted PELK_GUARDED_BY(mutex) = false;
  std::thread::id thread PELK_GUARDED_BY(mutex);
  bool exiting PELK_GUARDED_BY(mutex) = false;  // no more lines are queued for a handler
  bool stopped PELK_GUARDED_BY(mutex) = false;  // the console thread ends

  // Tests' captures.
  int captures PELK_GUARDED_BY(mutex) = 0;
  std::vector<Line> captured PELK_GUARDED_BY(mutex);
  std::map<const Console::Capture*, std::shared_ptr<const Observer>> observers PELK_GUARDED_BY(mutex);
};

State& state() {
  static auto* s = new State();
  return *s;
}

void writeStdout(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// Queues a line for the console thread; false when the queue is full (the
// line is counted as dropped).
bool enqueueLocked(State& s, Console::Level level, const std::string& line) PELK_REQUIRES(s.mutex) {
  if (s.queue.size() >= Console::kMaxQueued) {
    ++s.dropped;
    ++s.droppedSinceNotice;
    return false;
  }
  s.queue.push_back({level, line});
  return true;
}

void runConsoleThread() {
  nameThisThread("pelk-console");
  State& s = state();
  UniqueLock lock(s.mutex);
  while (true) {
    lock.wait(s.work, [&]() PELK_REQUIRES(s.mutex) { return s.stopped || !s.queue.empty(); });
    if (s.stopped) break;
    Line line = std::move(s.queue.front());
    s.queue.pop_front();
    if (s.droppedSinceNotice > 0) {
      // The lines dropped came after every line then queued and before any
      // queued from now on: the notice takes their place.
      s.queue.push_back({Console::Level::Warning, "pelk: " + std::to_string(s.droppedSinceNotice) +
                                                      " console lines dropped: the console handler fell behind"});
      s.droppedSinceNotice = 0;
    }
    switch (s.destination) {
      case State::Destination::handler: {
        auto handler = s.handler;
        s.running = s.handlerGeneration;
        lock.unlock();
        try {
          if (handler && *handler) (*handler)(line.level, line.text);
        } catch (...) {
          // The host's exception has nowhere to go on this thread.
        }
        // Released before the lock is taken again: a handler replaced from
        // inside itself goes here, and its captures may call the console.
        handler.reset();
        lock.lock();
        s.running = 0;
        break;
      }
      case State::Destination::standardOutput:
        if (s.captures == 0) writeStdout(line.text);
        break;
      case State::Destination::none:
        break;
    }
    s.moved.notify_all();
  }
  s.moved.notify_all();
}

// At process exit: what is queued is handed over for a bounded time, then the
// console thread ends (or is left inside a handler that does not return).
void stopAtExit() {
  State& s = state();
  UniqueLock lock(s.mutex);
  s.exiting = true;
  if (s.thread != std::this_thread::get_id()) {
    lock.waitFor(s.moved, std::chrono::milliseconds(Console::kExitGraceMs),
                 [&]() PELK_REQUIRES(s.mutex) { return s.queue.empty() && s.running == 0; });
  }
  s.stopped = true;
  s.queue.clear();
  s.work.notify_all();
}

void startThreadLocked(State& s) PELK_REQUIRES(s.mutex) {
  if (s.threadStarted) return;
  try {
    std::thread thread(runConsoleThread);
    s.thread = thread.get_id();
    thread.detach();
    s.threadStarted = true;
    std::atexit(stopAtExit);
  } catch (const std::system_error& e) {
    std::fprintf(stderr, "pelk: the console cannot start its thread: %s\n", e.what());
  }
}

// Switches the destination and, unless called from the console thread, waits
// until the previous handler is not running.
void setDestination(State::Destination destination, std::shared_ptr<const Console::Handler> handler) {
  State& s = state();
  std::shared_ptr<const Console::Handler> previous;
  {
    UniqueLock lock(s.mutex);
    previous = std::exchange(s.handler, std::move(handler));
    s.destination = destination;
    const std::uint64_t generation = ++s.handlerGeneration;
    if (destination == State::Destination::none) s.queue.clear();
    if (destination == State::Destination::handler) startThreadLocked(s);
    s.work.notify_all();
    if (s.threadStarted && s.thread != std::this_thread::get_id()) {
      // A handler of this generation or a later one running means the one
      // replaced here has returned: a newer setter's handler may keep the
      // console thread busy without a pause.
      lock.wait(s.moved,
                [&]() PELK_REQUIRES(s.mutex) { return s.running == 0 || s.running >= generation || s.stopped; });
    }
  }
  // Released outside the lock: its captures may do anything.
  previous.reset();
}

}  // namespace

void Console::print(const std::string& line, Level level) {
  State& s = state();
  std::vector<std::shared_ptr<const Observer>> observers;
  bool queued = false;
  {
    LockGuard lock(s.mutex);
    const bool captured = s.captures > 0;
    if (captured) {
      s.captured.push_back({level, line});
      for (const auto& [capture, observer] : s.observers) observers.push_back(observer);
    }
    switch (s.destination) {
      case State::Destination::handler:
        if (!s.exiting && s.threadStarted) queued = enqueueLocked(s, level, line);
        break;
      case State::Destination::standardOutput:
        if (captured) break;
        // Lines still waiting from a handler's time come first.
        if (s.queue.empty()) {
          writeStdout(line);
        } else {
          queued = enqueueLocked(s, level, line);
        }
        break;
      case State::Destination::none:
        break;
    }
  }
  if (queued) s.work.notify_one();
  for (const auto& observer : observers) (*observer)(line);
}

void Console::setHandler(Handler handler) {
  if (!handler) {
    silence();
    return;
  }
  setDestination(State::Destination::handler, std::make_shared<const Handler>(std::move(handler)));
}

void Console::silence() { setDestination(State::Destination::none, nullptr); }

void Console::useStdout() { setDestination(State::Destination::standardOutput, nullptr); }

std::size_t Console::droppedLines() {
  State& s = state();
  LockGuard lock(s.mutex);
  return s.dropped;
}

Console::Capture::Capture() {
  State& s = state();
  LockGuard lock(s.mutex);
  if (s.captures++ == 0) s.captured.clear();
}

Console::Capture::Capture(std::function<void(const std::string& line)> onLine) : Capture() {
  if (!onLine) return;
  State& s = state();
  LockGuard lock(s.mutex);
  s.observers[this] = std::make_shared<const Observer>(std::move(onLine));
}

Console::Capture::~Capture() {
  State& s = state();
  LockGuard lock(s.mutex);
  --s.captures;
  s.observers.erase(this);
}

std::vector<std::string> Console::Capture::lines() const {
  State& s = state();
  LockGuard lock(s.mutex);
  std::vector<std::string> out;
  out.reserve(s.captured.size());
  for (const auto& l : s.captured) out.push_back(l.text);
  return out;
}

std::vector<std::string> Console::Capture::lines(Level level) const {
  State& s = state();
  LockGuard lock(s.mutex);
  std::vector<std::string> out;
  for (const auto& l : s.captured) {
    if (l.level == level) out.push_back(l.text);
  }
  return out;
}

bool Console::Capture::contains(const std::string& line) const {
  State& s = state();
  LockGuard lock(s.mutex);
  return std::any_of(s.captured.begin(), s.captured.end(), [&](const Line& l) { return l.text == line; });
}

}  // namespace pelk::platform
