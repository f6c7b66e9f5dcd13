#include "platform/Application.h"

#include <atomic>
#include <cstdio>
#include <exception>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/Dispatch.h"
#include "platform/NotificationCenter.h"
#include "platform/ThreadSafety.h"

namespace pelk::platform {

namespace {

struct BackgroundTask {
  std::function<void()> expirationHandler;
  std::string name;
};

struct AppState {
  std::atomic<int> state{static_cast<int>(ApplicationState::active)};
  std::atomic<bool> terminated{false};
  // Lock order: a leaf (platform/LockOrder.h).
  Mutex mutex;
  std::map<BackgroundTaskId, BackgroundTask> tasks PELK_GUARDED_BY(mutex);
  BackgroundTaskId nextId PELK_GUARDED_BY(mutex) = 1;
};

AppState& app() {
  static AppState* s = new AppState();  // process lifetime: queued tasks may
                                        // still reach it at exit
  return *s;
}

// Sets the state and tells the observers; runs on the main queue.
void enter(ApplicationState next, const char* notification) {
  app().state = static_cast<int>(next);
  NotificationCenter::defaultCenter().post(notification, nullptr, next);
}

}  // namespace

const char* describe(ApplicationState state) {
  switch (state) {
    case ApplicationState::active:
      return "active";
    case ApplicationState::inactive:
      return "inactive";
    case ApplicationState::background:
      return "background";
  }
  return "active";
}

ApplicationState Application::state() { return static_cast<ApplicationState>(app().state.load()); }

void Application::reportForeground() {
  Dispatch::main().async([] {
    if (state() == ApplicationState::background) {
      enter(ApplicationState::inactive, willEnterForegroundNotification);
    }
    if (state() == ApplicationState::inactive) enter(ApplicationState::active, didBecomeActiveNotification);
  });
}

void Application::reportInactive() {
  Dispatch::main().async([] {
    if (state() == ApplicationState::active) enter(ApplicationState::inactive, willResignActiveNotification);
  });
}

void Application::reportBackground() {
  Dispatch::main().async([] {
    if (state() == ApplicationState::active) enter(ApplicationState::inactive, willResignActiveNotification);
    if (state() == ApplicationState::inactive) enter(ApplicationState::background, didEnterBackgroundNotification);
  });
}

void Application::reportTerminate() {
  Dispatch::main().async([] {
    if (app().terminated.exchange(true)) return;
    NotificationCenter::defaultCenter().post(willTerminateNotification, nullptr, state());
  });
}

BackgroundTaskId Application::beginBackgroundTask(std::function<void()> expirationHandler, std::string name) {
  auto& s = app();
  LockGuard lock(s.mutex);
  const BackgroundTaskId id = s.nextId++;
  s.tasks.emplace(id, BackgroundTask{std::move(expirationHandler), std::move(name)});
  return id;
}

bool Application::endBackgroundTask(BackgroundTaskId id) {
  auto& s = app();
  LockGuard lock(s.mutex);
  return s.tasks.erase(id) > 0;
}

std::size_t Application::backgroundTaskCount() {
  auto& s = app();
  LockGuard lock(s.mutex);
  return s.tasks.size();
}

bool Application::isBackgroundTaskRunning(BackgroundTaskId id) {
  auto& s = app();
  LockGuard lock(s.mutex);
  return s.tasks.count(id) > 0;
}

void Application::expireBackgroundTasks() {
  Dispatch::main().async([] {
    auto& s = app();
    std::vector<std::pair<BackgroundTaskId, std::function<void()>>> due;
    {
      LockGuard lock(s.mutex);
      for (const auto& [id, task] : s.tasks) due.emplace_back(id, task.expirationHandler);
    }
    for (auto& [id, handler] : due) {
      // A handler may end other tasks; those are not expired again.
      if (!isBackgroundTaskRunning(id) || !handler) continue;
      try {
        handler();
      } catch (const std::exception& e) {
        std::fprintf(stderr, "pelk: background task expiration handler threw: %s\n", e.what());
      } catch (...) {
        std::fprintf(stderr, "pelk: background task expiration handler threw\n");
      }
    }
    LockGuard lock(s.mutex);
    for (const auto& entry : due) s.tasks.erase(entry.first);
  });
}

void Application::resetForTesting() {
  auto& s = app();
  s.state = static_cast<int>(ApplicationState::active);
  s.terminated = false;
  LockGuard lock(s.mutex);
  s.tasks.clear();
}

}  // namespace pelk::platform
