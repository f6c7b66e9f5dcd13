#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace pelk::platform {

enum class ApplicationState : int {
  active = 0,
  inactive = 1,
  background = 2,
};

// "active", "inactive", "background".
const char* describe(ApplicationState state);

using BackgroundTaskId = std::uint64_t;
inline constexpr BackgroundTaskId invalidBackgroundTask = 0;

// The host app's lifecycle as the kit sees it.  A Linux host has no system
// that moves it between foreground and background, so the host reports its
// own changes with the report* calls (from any thread).  Each change happens
// on the main queue: the state is set and the notification is posted through
// NotificationCenter::defaultCenter() (object null, userInfo the new
// ApplicationState).  A report that changes nothing posts nothing.
//
//   reportForeground: from background, willEnterForeground (state inactive)
//                     then didBecomeActive (state active); from inactive,
//                     didBecomeActive.
//   reportInactive:   from active, willResignActive (state inactive).
//   reportBackground: from active, willResignActive first; then
//                     didEnterBackground (state background).
//   reportTerminate:  willTerminate, once per process; the state is kept.
//
// Background tasks are bookkeeping: nothing suspends a Linux host, so a task
// only expires when the host says its time is up (expireBackgroundTasks).
class Application {
 public:
  static constexpr const char* didBecomeActiveNotification = "applicationDidBecomeActive";
  static constexpr const char* willResignActiveNotification = "applicationWillResignActive";
  static constexpr const char* didEnterBackgroundNotification = "applicationDidEnterBackground";
  static constexpr const char* willEnterForegroundNotification = "applicationWillEnterForeground";
  static constexpr const char* willTerminateNotification = "applicationWillTerminate";

  // Starts active.
  static ApplicationState state();

  static void reportForeground();
  static void reportInactive();
  static void reportBackground();
  static void reportTerminate();

  // Returns a new id (never invalidBackgroundTask).  The expiration handler
  // runs on the main queue if the task is still running when time is up.
  static BackgroundTaskId beginBackgroundTask(std::function<void()> expirationHandler, std::string name = {});
  // Ends a running task; false for an unknown or already ended id.
  static bool endBackgroundTask(BackgroundTaskId id);
  static std::size_t backgroundTaskCount();
  static bool isBackgroundTaskRunning(BackgroundTaskId id);
  // Time is up: on the main queue, runs the handler of every task still
  // running, then ends whatever the handlers left running.
  static void expireBackgroundTasks();

  // Back to active, no tasks, terminate not yet reported (tests).
  static void resetForTesting();
};

}  // namespace pelk::platform
