#include <pthread.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Console.h"
#include "support/WaitFor.h"

namespace pelk::test {
namespace {

using platform::Console;
using namespace std::chrono_literals;

struct Received {
  Console::Level level;
  std::string line;
  std::string thread;
};

// What a handler was given, and on which thread.
class Recorder {
 public:
  Console::Handler handler(std::function<void()> before = nullptr) {
    return [this, before](Console::Level level, const std::string& line) {
      if (before) before();
      char name[16] = {};
      pthread_getname_np(pthread_self(), name, sizeof name);
      std::lock_guard lock(mutex_);
      received_.push_back({level, line, name});
    };
  }
  std::vector<Received> received() const {
    std::lock_guard lock(mutex_);
    return received_;
  }
  std::size_t count() const {
    std::lock_guard lock(mutex_);
    return received_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Received> received_;
};

// Each test goes back to stdout before its handler's captures go; the
// fixture does it too for a test that ended early.
class ConsoleHandlerTest : public ::testing::Test {
 protected:
  ~ConsoleHandlerTest() override { Console::useStdout(); }
};

// The handler gets every line with its level, in order, on the console's own
// thread, while the printer still holds a lock the handler needs: printing
// under a lock cannot deadlock with a handler that calls back in.
TEST_F(ConsoleHandlerTest, LinesArriveInOrderOnTheConsoleThreadWhateverThePrinterHolds) {
  std::mutex kitLock;
  Recorder recorder;
  Console::setHandler(recorder.handler([&] { std::lock_guard lock(kitLock); }));
  const Console::Level levels[] = {Console::Level::Debug, Console::Level::Info, Console::Level::Warning,
                                   Console::Level::Error};
  {
    std::lock_guard lock(kitLock);
    for (int i = 0; i < 100; ++i) Console::print("line " + std::to_string(i), levels[i % 4]);
    EXPECT_EQ(recorder.count(), 0u);
  }
  ASSERT_TRUE(waitFor([&] { return recorder.count() == 100; })) << recorder.count();
  const auto got = recorder.received();
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(got[i].line, "line " + std::to_string(i));
    EXPECT_EQ(got[i].level, levels[i % 4]);
    EXPECT_EQ(got[i].thread, "pelk-console");
  }
  Console::useStdout();  // the handler is done with what it uses
}

// A handler that blocks holds up no printer; what does not fit the queue is
// dropped, counted, and reported in its place once the handler catches up.
TEST_F(ConsoleHandlerTest, ABlockedHandlerHoldsUpNobodyAndHearsWhatWasDropped) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  Recorder recorder;
  std::atomic<bool> entered{false};
  Console::setHandler(recorder.handler([&] {
    entered = true;
    released.wait();
  }));
  Console::print("first");
  ASSERT_TRUE(waitFor([&] { return entered.load(); }));

  const std::size_t droppedBefore = Console::droppedLines();
  constexpr std::size_t kExtra = 50;
  std::atomic<bool> printed{false};
  std::thread printer([&] {
    for (std::size_t i = 0; i < Console::kMaxQueued + kExtra; ++i) Console::print("queued " + std::to_string(i));
    printed = true;
  });
  const bool printerDone = waitFor([&] { return printed.load(); });
  release.set_value();
  printer.join();
  ASSERT_TRUE(printerDone) << "printing waited for the blocked handler";
  EXPECT_EQ(Console::droppedLines() - droppedBefore, kExtra);

  // Once the handler has taken a queued line there is room again.
  ASSERT_TRUE(waitFor([&] { return recorder.count() >= 2; }));
  Console::print("after");
  ASSERT_TRUE(waitFor([&] { return recorder.count() == Console::kMaxQueued + 3; })) << recorder.count();
  const auto got = recorder.received();
  EXPECT_EQ(got.front().line, "first");
  for (std::size_t i = 0; i < Console::kMaxQueued; ++i) EXPECT_EQ(got[1 + i].line, "queued " + std::to_string(i));
  EXPECT_EQ(got[Console::kMaxQueued + 1].line,
            "pelk: " + std::to_string(kExtra) + " console lines dropped: the console handler fell behind");
  EXPECT_EQ(got[Console::kMaxQueued + 1].level, Console::Level::Warning);
  EXPECT_EQ(got.back().line, "after");
  Console::useStdout();
}

// A new destination takes what waits; the setter returns only once the old
// handler has returned; a handler may switch the destination itself;
// silencing drops everything.
TEST_F(ConsoleHandlerTest, SwitchingWaitsForTheOldHandlerAndHandsOverWhatWaits) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> entered{false}, oldReturned{false};
  Recorder first, second;
  Console::setHandler(first.handler([&] {
    entered = true;
    released.wait();
    oldReturned = true;
  }));
  Console::print("a");
  ASSERT_TRUE(waitFor([&] { return entered.load(); }));
  Console::print("b");
  Console::print("c");

  std::atomic<bool> switched{false};
  std::thread setter([&] {
    Console::setHandler(second.handler());
    EXPECT_TRUE(oldReturned.load()) << "the setter returned while the old handler ran";
    switched = true;
  });
  EXPECT_FALSE(waitFor([&] { return switched.load(); }, 200ms));
  release.set_value();
  setter.join();
  ASSERT_TRUE(waitFor([&] { return second.count() == 2; }));
  EXPECT_EQ(first.count(), 1u);
  EXPECT_EQ(second.received()[0].line, "b");
  EXPECT_EQ(second.received()[1].line, "c");

  // From inside a handler: no wait for itself.
  Recorder third;
  std::atomic<int> calls{0};
  Console::setHandler([&](Console::Level, const std::string&) {
    if (calls++ == 0) Console::setHandler(third.handler());
  });
  Console::print("switch");
  Console::print("d");
  ASSERT_TRUE(waitFor([&] { return third.count() == 1; }));
  EXPECT_EQ(third.received()[0].line, "d");

  Console::silence();
  Console::print("nobody hears this");
  Console::setHandler(third.handler());
  Console::print("e");
  ASSERT_TRUE(waitFor([&] { return third.count() == 2; }));
  EXPECT_EQ(third.received()[1].line, "e");
  Console::useStdout();
}

// Two hosts' threads replacing a handler at once: each setter returns once
// the handler it replaced is no longer running, even when a newer handler
// keeps the console busy (here it prints from inside itself).
TEST_F(ConsoleHandlerTest, ConcurrentSettersReturnWhileANewerHandlerKeepsTheConsoleBusy) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> entered{false}, stop{false};
  Console::setHandler([&](Console::Level, const std::string&) {
    entered = true;
    released.wait();
  });
  Console::print("a");
  ASSERT_TRUE(waitFor([&] { return entered.load(); }));
  Console::print("b");

  const Console::Handler busy = [&](Console::Level, const std::string&) {
    if (!stop.load()) Console::print("again");
  };
  std::atomic<int> returned{0};
  std::vector<std::thread> setters;
  for (int i = 0; i < 2; ++i) {
    setters.emplace_back([&] {
      Console::setHandler(busy);
      ++returned;
    });
  }
  EXPECT_FALSE(waitFor([&] { return returned.load() > 0; }, 200ms));
  release.set_value();
  EXPECT_TRUE(waitFor([&] { return returned.load() == 2; }, 5s)) << "a setter waits for a handler it did not replace";
  stop = true;
  for (auto& t : setters) t.join();
  Console::useStdout();
}

// A handler that replaces itself is released outside the console's lock:
// what its captures do when they go (here: ask the console something) must
// not find the lock held by the thread releasing them.
TEST_F(ConsoleHandlerTest, AHandlerReplacedFromInsideItselfIsReleasedOutsideTheLock) {
  // 1 once the captures went with the console free, 2 if they found it held.
  auto outcome = std::make_shared<std::atomic<int>>(0);
  struct Captured {
    std::shared_ptr<std::atomic<int>> outcome;
    ~Captured() {
      auto asked = std::make_shared<std::promise<void>>();
      auto answered = asked->get_future();
      std::thread([asked] {
        Console::droppedLines();
        asked->set_value();
      }).detach();
      *outcome = answered.wait_for(2s) == std::future_status::ready ? 1 : 2;
    }
  };
  Recorder next;
  {
    auto captured = std::make_shared<Captured>(Captured{outcome});
    Console::setHandler([captured, &next](Console::Level, const std::string&) { Console::setHandler(next.handler()); });
  }
  Console::print("replace");
  Console::print("after");
  ASSERT_TRUE(waitFor([&] { return next.count() == 1; }));
  ASSERT_TRUE(waitFor([&] { return outcome->load() != 0; }));
  EXPECT_EQ(outcome->load(), 1) << "the old handler's captures went while the console's lock was held";
  Console::useStdout();
}

}  // namespace
}  // namespace pelk::test
