#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/NotificationCenter.h"

namespace pelk::platform {
namespace {

TEST(NotificationCenterTest, MatchesByNameAndOptionalObject) {
  NotificationCenter center;
  int a = 0, b = 0;
  std::vector<std::string> calls;
  center.addObserver("changed", &a, [&](const Notification& n) {
    calls.push_back("a");
    EXPECT_EQ(n.objectAs<int>(), &a);
  });
  center.addObserver("changed", nullptr,
                     [&](const Notification& n) { calls.push_back(n.object == &a ? "any:a" : "any:other"); });
  center.addObserver("other", nullptr, [&](const Notification&) { calls.push_back("other"); });

  center.post("changed", &a);
  center.post("changed", &b);
  center.post("changed");
  center.post("unknown", &a, std::string("info"));
  EXPECT_EQ(calls, (std::vector<std::string>{"a", "any:a", "any:other", "any:other"}));
}

TEST(NotificationCenterTest, RemovalTakesEffectAtOnceEvenDuringAPost) {
  NotificationCenter center;
  int calls = 0;
  NotificationCenter::ObserverId second = 0;
  const auto first = center.addObserver("n", nullptr, [&](const Notification&) {
    ++calls;
    center.removeObserver(second);  // removed by an earlier observer of the same post
  });
  second = center.addObserver("n", nullptr, [&](const Notification&) { calls += 100; });
  center.post("n");
  EXPECT_EQ(calls, 1);
  center.removeObserver(first);
  center.post("n");
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(center.observerCount(), 0u);

  int x = 0;
  center.addObserver("n", &x, [&](const Notification&) { ++calls; });
  center.addObserver("n", nullptr, [&](const Notification&) { ++calls; });
  center.removeObservers("n", &x);
  EXPECT_EQ(center.observerCount(), 1u);
}

TEST(NotificationCenterTest, ThrowingObserverDoesNotStopOthers) {
  NotificationCenter center;
  bool reached = false;
  center.addObserver("n", nullptr, [](const Notification&) { throw std::runtime_error("boom"); });
  center.addObserver("n", nullptr, [&](const Notification&) { reached = true; });
  center.post("n");
  EXPECT_TRUE(reached);
}

TEST(NotificationCenterTest, ConcurrentPostsAndRegistrations) {
  NotificationCenter center;
  std::atomic<int> calls{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        const auto id = center.addObserver("n", nullptr, [&](const Notification&) { ++calls; });
        center.post("n");
        center.removeObserver(id);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_GE(calls.load(), 800);
  EXPECT_EQ(center.observerCount(), 0u);
}

}  // namespace
}  // namespace pelk::platform
