#include <gtest/gtest.h>

#include <any>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Application.h"
#include "platform/Clock.h"
#include "platform/Dispatch.h"
#include "platform/NotificationCenter.h"

using namespace pelk::platform;

namespace {

class ApplicationLifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    Clock::useVirtual(Clock::fromSecondsSince1970(1'700'000'000));
    Dispatch::useManualMainQueue();
    Application::resetForTesting();
    for (const char* name : {Application::didBecomeActiveNotification, Application::willResignActiveNotification,
                             Application::didEnterBackgroundNotification, Application::willEnterForegroundNotification,
                             Application::willTerminateNotification}) {
      observers_.push_back(
          NotificationCenter::defaultCenter().addObserver(name, nullptr, [this](const Notification& n) {
            const auto carried = std::any_cast<ApplicationState>(n.userInfo);
            // Observers see the state the notification announces, on the main thread.
            seen_.push_back(n.name + ":" + describe(carried) +
                            (carried == Application::state() ? "" : "(state differs)") +
                            (Dispatch::isMainThread() ? "" : "(off main)"));
          }));
    }
  }
  void TearDown() override {
    for (auto id : observers_) NotificationCenter::defaultCenter().removeObserver(id);
    Dispatch::drainMain();
    Dispatch::useThreadedMainQueue();
    Clock::useSystem();
  }
  std::vector<NotificationCenter::ObserverId> observers_;
  std::vector<std::string> seen_;
};

}  // namespace

TEST_F(ApplicationLifecycle, HostReportsBecomeStateChangesAndNotificationsOnTheMainQueue) {
  enum Report { F, I, B, T };
  struct Case {
    std::vector<Report> reports;
    std::vector<std::string> posted;
    ApplicationState finalState;
  };
  const std::string resign = "applicationWillResignActive:inactive";
  const std::string bg = "applicationDidEnterBackground:background";
  const std::string fg = "applicationWillEnterForeground:inactive";
  const std::string active = "applicationDidBecomeActive:active";
  const std::string term = "applicationWillTerminate:";
  const std::vector<Case> cases = {
      {{F}, {}, ApplicationState::active},
      {{B}, {resign, bg}, ApplicationState::background},
      {{B, B}, {resign, bg}, ApplicationState::background},
      {{B, F}, {resign, bg, fg, active}, ApplicationState::active},
      {{I}, {resign}, ApplicationState::inactive},
      {{I, F}, {resign, active}, ApplicationState::active},
      {{I, B}, {resign, bg}, ApplicationState::background},
      {{B, I}, {resign, bg}, ApplicationState::background},
      {{T, T}, {term + "active"}, ApplicationState::active},
      {{B, T, F}, {resign, bg, term + "background", fg, active}, ApplicationState::active},
  };
  const std::function<void()> calls[] = {Application::reportForeground, Application::reportInactive,
                                         Application::reportBackground, Application::reportTerminate};
  for (std::size_t i = 0; i < cases.size(); ++i) {
    Application::resetForTesting();
    seen_.clear();
    std::thread([&] {
      for (auto r : cases[i].reports) calls[r]();
    }).join();
    EXPECT_TRUE(seen_.empty()) << "case " << i << ": nothing before the main queue runs";
    EXPECT_EQ(Application::state(), ApplicationState::active) << "case " << i;
    Dispatch::drainMain();
    EXPECT_EQ(seen_, cases[i].posted) << "case " << i;
    EXPECT_EQ(Application::state(), cases[i].finalState) << "case " << i;
  }
}

TEST_F(ApplicationLifecycle, BackgroundTasksAreCountedEndedOnceAndExpiredOnTheMainQueue) {
  std::vector<std::string> expired;
  BackgroundTaskId endsItself = invalidBackgroundTask;
  endsItself = Application::beginBackgroundTask([&] {
    expired.push_back("self");
    EXPECT_TRUE(Application::endBackgroundTask(endsItself));
  });
  const auto leftRunning = Application::beginBackgroundTask([&] { expired.push_back("left"); });
  const auto endedEarly = Application::beginBackgroundTask([&] { expired.push_back("early"); });
  const auto noHandler = Application::beginBackgroundTask(nullptr);

  EXPECT_NE(endsItself, invalidBackgroundTask);
  EXPECT_NE(endsItself, leftRunning);
  EXPECT_NE(leftRunning, endedEarly);
  EXPECT_EQ(Application::backgroundTaskCount(), 4u);
  EXPECT_TRUE(Application::endBackgroundTask(endedEarly));
  EXPECT_FALSE(Application::endBackgroundTask(endedEarly)) << "a task ends once";
  EXPECT_FALSE(Application::endBackgroundTask(invalidBackgroundTask));
  EXPECT_EQ(Application::backgroundTaskCount(), 3u);

  Application::expireBackgroundTasks();
  EXPECT_TRUE(expired.empty()) << "handlers run on the main queue";
  Dispatch::drainMain();
  EXPECT_EQ(expired, (std::vector<std::string>{"self", "left"}));
  EXPECT_EQ(Application::backgroundTaskCount(), 0u) << "what the handlers left running is ended";
  EXPECT_FALSE(Application::isBackgroundTaskRunning(leftRunning));
  EXPECT_FALSE(Application::isBackgroundTaskRunning(noHandler));
}
