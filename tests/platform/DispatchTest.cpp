#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <future>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Clock.h"
#include "platform/Dispatch.h"
#include "platform/ThreadName.h"

using namespace pelk::platform;
using namespace std::chrono_literals;

namespace {

// Each test runs in a process of its own (CTest), so switching the main queue
// to manual mode in one test does not leak into another.
class ManualMainQueue : public ::testing::Test {
 protected:
  void SetUp() override {
    Clock::useVirtual(Clock::fromSecondsSince1970(1'700'000'000));
    Dispatch::useManualMainQueue();
  }
  void TearDown() override {
    Dispatch::useThreadedMainQueue();
    Clock::useSystem();
  }
};

template <class F>
bool waitFor(F done, std::chrono::milliseconds limit = 5000ms) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

}  // namespace

TEST_F(ManualMainQueue, RepeatingTimerFiresOncePerPeriodOfVirtualTime) {
  int fired = 0;
  std::vector<double> at;
  auto timer = Dispatch::scheduleRepeating(Dispatch::main(), seconds(10), [&] {
    ++fired;
    at.push_back(Clock::secondsSince1970(Clock::now()));
  });

  Dispatch::drainMain();
  EXPECT_EQ(fired, 0);
  Dispatch::advanceClock(seconds(9.999));
  EXPECT_EQ(fired, 0);
  Dispatch::advanceClock(seconds(20.001));
  EXPECT_EQ(fired, 3);
  EXPECT_EQ(at, (std::vector<double>{1'700'000'010, 1'700'000'020, 1'700'000'030}));

  timer->invalidate();
  Dispatch::advanceClock(seconds(100));
  EXPECT_EQ(fired, 3);
}

TEST_F(ManualMainQueue, RunsDueTasksInDeadlineOrderOnlyWhenDriven) {
  std::vector<std::string> order;
  Dispatch::main().asyncAfter(seconds(2), [&] { order.push_back("late"); });
  Dispatch::main().asyncAfter(seconds(1), [&] { order.push_back("early"); });
  Dispatch::main().async([&] {
    order.push_back("now");
    // Posted while draining: runs in the same drain.
    Dispatch::main().async([&] { order.push_back("nested"); });
    EXPECT_TRUE(Dispatch::isMainThread());
  });
  EXPECT_TRUE(order.empty());
  EXPECT_EQ(Dispatch::pendingMainTasks(), 3u);

  EXPECT_EQ(Dispatch::drainMain(), 2u);
  EXPECT_EQ(order, (std::vector<std::string>{"now", "nested"}));
  Dispatch::advanceClock(seconds(5));
  EXPECT_EQ(order, (std::vector<std::string>{"now", "nested", "early", "late"}));
  EXPECT_EQ(Dispatch::pendingMainTasks(), 0u);
}

TEST_F(ManualMainQueue, OtherThreadsAreNotMain) {
  EXPECT_TRUE(Dispatch::isMainThread());
  bool onWorker = true;
  Dispatch::global().sync([&] { onWorker = Dispatch::isMainThread(); });
  EXPECT_FALSE(onWorker);
}

// Main-queue state checks where it is entered: off main the process stops,
// saying which function was entered on which thread.
TEST_F(ManualMainQueue, AssertOnMainPassesOnTheTestThreadAndStopsAnotherThread) {
  Dispatch::assertOnMain("the test's thread");
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        std::thread worker([] {
          nameThisThread("pelk-probe");
          Dispatch::assertOnMain("void Probe::entered()");
        });
        worker.join();
      },
      R"(void Probe::entered\(\) must run on the main queue; called on thread "pelk-probe")");
}

TEST(ThreadedDispatch, AssertOnMainPassesInAMainTask) {
  std::promise<void> ran;
  Dispatch::main().async([&ran] {
    Dispatch::assertOnMain("a main task");
    ran.set_value();
  });
  EXPECT_EQ(ran.get_future().wait_for(5s), std::future_status::ready);
}

TEST(ThreadedDispatch, MainQueueRunsOnItsOwnThread) {
  auto isMain = std::make_shared<std::promise<bool>>();
  Dispatch::main().async([isMain] { isMain->set_value(Dispatch::isMainThread()); });
  EXPECT_TRUE(isMain->get_future().get());
  EXPECT_FALSE(Dispatch::isMainThread());
}

TEST(ThreadedDispatch, SerialQueueKeepsOrderAndNestedSyncRunsInline) {
  auto q = Dispatch::makeSerial("test.serial");
  std::vector<int> seen;
  for (int i = 0; i < 100; ++i) q->async([&, i] { seen.push_back(i); });
  bool nestedRan = false;
  q->sync([&] {
    EXPECT_TRUE(q->isCurrent());
    q->sync([&] { nestedRan = true; });  // would deadlock if not re-entrant
  });
  EXPECT_TRUE(nestedRan);
  ASSERT_EQ(seen.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(seen[static_cast<std::size_t>(i)], i);
}

TEST(ThreadedDispatch, GlobalQueueRunsConcurrentlyAndDelaysWork) {
  // Each task waits until all sixteen have started, so they only finish when
  // the pool runs them all at once (with a fixed four, or one, they would not).
  struct Meeting {
    std::mutex m;
    std::condition_variable cv;
    int started = 0;
    std::atomic<int> ran{0};
    std::atomic<int> metTheOthers{0};
  };
  auto meeting = std::make_shared<Meeting>();  // shared: outlives a failed wait
  for (int i = 0; i < 16; ++i) {
    Dispatch::global().async([meeting] {
      std::unique_lock lock(meeting->m);
      ++meeting->started;
      meeting->cv.notify_all();
      if (meeting->cv.wait_for(lock, 5s, [&] { return meeting->started == 16; })) ++meeting->metTheOthers;
      ++meeting->ran;
    });
  }
  EXPECT_TRUE(waitFor([&] { return meeting->ran.load() == 16; }, 30s));
  EXPECT_EQ(meeting->metTheOthers.load(), 16);

  const auto start = std::chrono::steady_clock::now();
  auto when = std::make_shared<std::promise<std::chrono::steady_clock::time_point>>();
  Dispatch::global().asyncAfter(seconds(0.05), [when] { when->set_value(std::chrono::steady_clock::now()); });
  EXPECT_GE(when->get_future().get() - start, 50ms);
}

TEST(ThreadedDispatch, TimerStopsWhenInvalidated) {
  auto q = Dispatch::makeSerial("test.timer");
  std::atomic<int> fired{0};
  auto timer = Dispatch::scheduleRepeating(*q, seconds(0.005), [&] { ++fired; });
  EXPECT_TRUE(waitFor([&] { return fired.load() >= 3; }));
  timer->invalidate();
  q->sync([] {});  // a tick already queued may still run once
  const int after = fired.load();
  std::this_thread::sleep_for(30ms);
  EXPECT_LE(fired.load(), after + 1);
  EXPECT_FALSE(timer->isValid());
}

TEST(ThreadedDispatch, ThrowingTaskDoesNotStopTheQueue) {
  auto q = Dispatch::makeSerial("test.throw");
  q->async([] { throw std::runtime_error("boom"); });
  bool ran = false;
  q->sync([&] { ran = true; });
  EXPECT_TRUE(ran);
}

TEST(ThreadedDispatch, QueueReleasedInsideItsOwnTaskEndsCleanly) {
  auto done = std::make_shared<std::promise<void>>();
  {
    auto q = Dispatch::makeSerial("test.self-release");
    auto holder = std::make_shared<std::shared_ptr<Queue>>(q);
    q->async([holder, done] {
      holder->reset();  // the last owner goes away on the queue's own thread
      done->set_value();
    });
  }
  done->get_future().wait();
  // Another queue still works afterwards.
  auto other = Dispatch::makeSerial("test.after");
  bool ran = false;
  other->sync([&] { ran = true; });
  EXPECT_TRUE(ran);
}

// Delays that are infinite or far beyond the clock's range wait (a century)
// instead of wrapping round to "now"; negative and NaN ones run at once.
const struct DelayCase {
  double seconds;
  bool runsNow;
} kDelayCases[] = {
    {std::numeric_limits<double>::infinity(), false},
    {1e10, false},
    {1e300, false},
    {9.3e9, false},  // just past the range of a nanosecond count
    {-1, true},
    {-std::numeric_limits<double>::infinity(), true},
    {std::nan(""), true},
    {0, true},
};

TEST_F(ManualMainQueue, FarDelaysNeverRunEarly) {
  for (const auto& c : kDelayCases) {
    bool ran = false;
    Dispatch::main().asyncAfter(seconds(c.seconds), [&] { ran = true; });
    Dispatch::drainMain();
    Dispatch::advanceClock(seconds(10.0 * 365 * 24 * 3600));
    EXPECT_EQ(ran, c.runsNow) << c.seconds;
  }
}

TEST(ThreadedDispatch, FarDelaysNeverRunEarly) {
  auto serial = Dispatch::makeSerial("test.far");
  for (Queue* q : {serial.get(), &Dispatch::main()}) {
    for (const auto& c : kDelayCases) {
      auto ran = std::make_shared<std::atomic<bool>>(false);
      q->asyncAfter(seconds(c.seconds), [ran] { *ran = true; });
      q->sync([] {});  // due now, so it runs after anything (wrongly) due earlier
      EXPECT_EQ(ran->load(), c.runsNow) << q->label() << " " << c.seconds;
    }
  }
}

TEST(ThreadedDispatch, RepeatingTimerEndsWhenItsQueueIsReleasedInATick) {
  auto q = Dispatch::makeSerial("test.timer-release");
  auto holder = std::make_shared<std::shared_ptr<Queue>>(q);
  // The queue is held busy until the test has let go of it, so the first tick
  // is where its last owner goes.
  auto gate = std::make_shared<std::promise<void>>();
  q->async([opened = gate->get_future().share()] { opened.wait_for(5s); });
  std::atomic<int> ticks{0};
  auto timer = Dispatch::scheduleRepeating(*q, seconds(0.001), [holder, &ticks] {
    ++ticks;
    holder->reset();  // the queue's last owner lets go inside the tick
  });
  q.reset();
  gate->set_value();
  // The tick's end must not post the next tick into the freed queue; the timer
  // ends instead.
  EXPECT_TRUE(waitFor([&] { return !timer->isValid(); }));
  EXPECT_EQ(ticks.load(), 1);
}

namespace {
// Opens a gate when destroyed: shows when a queued task is dropped.
struct GateOpener {
  std::shared_ptr<std::promise<void>> gate;
  ~GateOpener() {
    if (gate) gate->set_value();
  }
  GateOpener(std::shared_ptr<std::promise<void>> g) : gate(std::move(g)) {}
  GateOpener(GateOpener&& o) noexcept : gate(std::move(o.gate)) {}
  GateOpener(const GateOpener&) = delete;
};
}  // namespace

TEST(ThreadedDispatch, ReleasedQueueRunsItsDueTasksAndDropsLaterOnes) {
  auto q = Dispatch::makeSerial("test.release-queued");
  auto gate = std::make_shared<std::promise<void>>();
  std::shared_future<void> opened = gate->get_future().share();
  std::vector<int> ran;
  // The first task holds the queue until the release drops the delayed task.
  q->async([opened] { opened.wait_for(5s); });
  for (int i = 1; i <= 3; ++i) q->async([&ran, i] { ran.push_back(i); });
  auto opener = std::make_shared<GateOpener>(gate);
  bool lateRan = false;
  q->asyncAfter(seconds(3600), [opener, &lateRan] { lateRan = true; });
  opener.reset();
  q.reset();  // returns once the due tasks have run
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
  EXPECT_FALSE(lateRan);
  EXPECT_EQ(opened.wait_for(0s), std::future_status::ready);  // the delayed task was dropped
}

TEST(ThreadedDispatch, QueueReleasedInsideItsOwnTaskStillRunsWhatIsQueued) {
  auto done = std::make_shared<std::promise<std::vector<int>>>();
  auto ran = std::make_shared<std::vector<int>>();
  {
    auto q = Dispatch::makeSerial("test.self-release-queued");
    auto holder = std::make_shared<std::shared_ptr<Queue>>(q);
    q->async([holder] { holder->reset(); });
    for (int i = 1; i <= 3; ++i) q->async([ran, i] { ran->push_back(i); });
    q->async([ran, done] { done->set_value(*ran); });
  }
  auto result = done->get_future();
  ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(result.get(), (std::vector<int>{1, 2, 3}));
}
