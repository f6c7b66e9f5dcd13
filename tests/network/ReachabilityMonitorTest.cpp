#include <gtest/gtest.h>

#include <cerrno>
#include <future>
#include <thread>

#include "NetworkFixture.h"
#include "device/DeviceInfo.h"
#include "network/Reachability.h"
#include "platform/Dispatch.h"

namespace pelk::test {
namespace {

using platform::ReachabilityFlags;
constexpr std::uint32_t kReachable = ReachabilityFlags::reachable;
constexpr std::uint32_t kCellular = ReachabilityFlags::reachable | ReachabilityFlags::isWWAN;

// One event seen by an observer of the monitor.
struct Seen {
  std::string what;  // "reachable", "unreachable" or "posted"
  Reachability::Connection connection;
  bool onMain;
};

class ReachabilityMonitorTest : public ::testing::Test {
 protected:
  ReachabilityMonitorTest() { platform::Reachability::useTestFlags(kReachable); }
  ~ReachabilityMonitorTest() override {
    // A report the monitor queued may still be running on the main queue; let
    // it finish before the fixture it reports into goes away.
    platform::Dispatch::main().sync([] {});
    if (observer_) center_.removeObserver(*observer_);
    platform::Reachability::useSystemFlags();
  }

  std::shared_ptr<Reachability> makeMonitor(platform::Queue* queue = &platform::Dispatch::main()) {
    auto monitor = Reachability::create(queue);
    monitor->setNotificationCenter(center_);
    auto record = [this](const char* what, Reachability& r) {
      std::lock_guard lock(mutex_);
      seen_.push_back({what, r.connection(), platform::Dispatch::isMainThread()});
    };
    monitor->setWhenReachable([record](Reachability& r) { record("reachable", r); });
    monitor->setWhenUnreachable([record](Reachability& r) { record("unreachable", r); });
    observer_ = center_.addObserver(kReachabilityChangedNotification, monitor.get(),
                                    [this](const platform::Notification& note) {
                                      auto* r = note.objectAs<Reachability>();
                                      std::lock_guard lock(mutex_);
                                      seen_.push_back({"posted", r->connection(), platform::Dispatch::isMainThread()});
                                    });
    return monitor;
  }

  // Runs everything queued so far: a delivered reading on the monitor's queue,
  // the report it queues there (no notification queue) or on the main queue.
  void settle(Reachability& monitor) {
    monitor.readingQueue().sync([] {});
    monitor.readingQueue().sync([] {});
    platform::Dispatch::main().sync([] {});
  }

  std::vector<Seen> seen() {
    std::lock_guard lock(mutex_);
    return seen_;
  }
  std::vector<std::string> seenNames() {
    std::vector<std::string> names;
    for (const auto& s : seen()) names.push_back(s.what);
    return names;
  }

  platform::NotificationCenter center_;
  std::optional<platform::NotificationCenter::ObserverId> observer_;
  std::mutex mutex_;
  std::vector<Seen> seen_;
};

TEST_F(ReachabilityMonitorTest, StartReadsFlagsAndNotifiesOnceOnMain) {
  auto monitor = makeMonitor();
  EXPECT_EQ(monitor->description(), "unavailable flags");
  monitor->startNotifier();
  EXPECT_TRUE(monitor->notifierRunning());
  settle(*monitor);
  const auto events = seen();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].what, "reachable");
  EXPECT_EQ(events[1].what, "posted");
  EXPECT_EQ(events[1].connection, Reachability::Connection::wifi);
  EXPECT_TRUE(events[0].onMain && events[1].onMain);
  EXPECT_EQ(monitor->currentReachabilityString(), "WiFi");
  EXPECT_EQ(monitor->description(), "-R -------");
}

TEST_F(ReachabilityMonitorTest, OnlyChangedFlagsNotify) {
  auto monitor = makeMonitor();
  monitor->startNotifier();
  EXPECT_EQ(platform::Reachability::testInstallations(), 2u);  // the callback and the queue
  monitor->startNotifier();                                    // already running: nothing installed twice
  EXPECT_EQ(platform::Reachability::testInstallations(), 2u);
  settle(*monitor);
  platform::Reachability::setTestFlags(kReachable);  // same flags again
  settle(*monitor);
  EXPECT_EQ(seenNames(), (std::vector<std::string>{"reachable", "posted"}));

  platform::Reachability::setTestFlags(ReachabilityFlags::connectionRequired);
  settle(*monitor);
  EXPECT_EQ(seenNames(), (std::vector<std::string>{"reachable", "posted", "unreachable", "posted"}));
  EXPECT_EQ(seen().back().connection, Reachability::Connection::unavailable);
  EXPECT_EQ(monitor->currentReachabilityString(), "No Connection");
}

TEST_F(ReachabilityMonitorTest, RestartPostsOnlyWhenFlagsChangedMeanwhile) {
  auto monitor = makeMonitor();
  monitor->startNotifier();
  settle(*monitor);
  monitor->stopNotifier();
  EXPECT_FALSE(monitor->notifierRunning());
  platform::Reachability::setTestFlags(0);  // not delivered: stopped
  settle(*monitor);
  EXPECT_EQ(seen().size(), 2u);
  platform::Reachability::setTestFlags(kReachable);
  monitor->startNotifier();
  settle(*monitor);
  EXPECT_EQ(seen().size(), 2u);  // same flags as before the stop
  monitor->stopNotifier();
  platform::Reachability::setTestFlags(kCellular);
  monitor->startNotifier();
  settle(*monitor);
  EXPECT_EQ(seen().size(), 4u);
  EXPECT_EQ(seen().back().connection, Reachability::Connection::cellular);
}

// A watch whose first reading is overtaken at once: the route changes just
// after the start reads it, and the change is delivered on the watch's queue
// as the platform would deliver it.
class OvertakenReadingTarget : public platform::ReachabilityTarget {
 public:
  OvertakenReadingTarget(std::uint32_t read, std::uint32_t next) : read_(read), next_(next) {}
  bool getFlags(std::uint32_t& flags) override {
    std::lock_guard lock(mutex_);
    flags = read_;
    if (queue_ && callback_) queue_->async([callback = callback_, next = next_] { callback(next); });
    return true;
  }
  bool setCallback(platform::ReachabilityCallback callback) override {
    std::lock_guard lock(mutex_);
    callback_ = std::move(callback);
    return true;
  }
  bool setQueue(std::shared_ptr<platform::Queue> queue) override {
    std::lock_guard lock(mutex_);
    queue_ = std::move(queue);
    return true;
  }

 private:
  std::mutex mutex_;
  const std::uint32_t read_;
  const std::uint32_t next_;
  platform::ReachabilityCallback callback_;
  std::shared_ptr<platform::Queue> queue_;
};

// The start's reading and a change delivered right after it land in the order
// they were taken: the monitor ends on the newer one, and so does the last
// report its owner gets.  (A reading written back after the change came in
// would leave the stale one standing until the next change.)
TEST_F(ReachabilityMonitorTest, AChangeRightAfterTheStartsReadingIsNotOverwrittenByIt) {
  int stale = 0;
  for (int run = 0; run < 1000; ++run) {
    auto monitor = Reachability::create(std::make_unique<OvertakenReadingTarget>(0u, kReachable), nullptr);
    platform::NotificationCenter center;
    monitor->setNotificationCenter(center);
    std::optional<Reachability::Connection> lastReport;
    center.addObserver(kReachabilityChangedNotification, monitor.get(),
                       [&](const platform::Notification&) { lastReport = monitor->connection(); });
    monitor->startNotifier();
    settle(*monitor);
    if (monitor->flags() != ReachabilityFlagSet{kReachable} || lastReport != Reachability::Connection::wifi) ++stale;
    monitor->stopNotifier();
    settle(*monitor);
  }
  EXPECT_EQ(stale, 0) << "of 1000 starts";
}

TEST_F(ReachabilityMonitorTest, CellularCountsOnlyWhileAllowed) {
  platform::Reachability::setTestFlags(kCellular);
  auto monitor = makeMonitor();
  EXPECT_EQ(monitor->connection(), Reachability::Connection::cellular);
  EXPECT_TRUE(monitor->isReachableViaWWAN());
  monitor->setAllowsCellularConnection(false);
  EXPECT_EQ(monitor->connection(), Reachability::Connection::unavailable);
  EXPECT_FALSE(monitor->isReachable());
}

TEST_F(ReachabilityMonitorTest, NoNotificationQueueRunsOnTheSerialQueue) {
  auto monitor = makeMonitor(nullptr);
  monitor->startNotifier();
  settle(*monitor);
  const auto events = seen();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_FALSE(events[1].onMain);
}

TEST_F(ReachabilityMonitorTest, NoNotificationQueueListenerMayStopTheNotifier) {
  auto monitor = makeMonitor(nullptr);
  auto listenerThread = std::make_shared<std::promise<std::thread::id>>();
  monitor->setWhenReachable([listenerThread](Reachability& r) {
    r.stopNotifier();  // would deadlock if called with the start's lock held
    listenerThread->set_value(std::this_thread::get_id());
  });
  // Started on a thread of its own, so a deadlock fails the test instead of hanging it.
  auto started = std::make_shared<std::promise<std::thread::id>>();
  std::thread([monitor, started] {
    monitor->startNotifier();
    started->set_value(std::this_thread::get_id());
  }).detach();
  auto startedFuture = started->get_future();
  ASSERT_EQ(startedFuture.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "start deadlocked";
  auto listenerFuture = listenerThread->get_future();
  ASSERT_EQ(listenerFuture.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "listener never ran";
  EXPECT_NE(listenerFuture.get(), startedFuture.get());  // run later, from the serial queue
  settle(*monitor);
  EXPECT_FALSE(monitor->notifierRunning());
  EXPECT_EQ(seenNames(), (std::vector<std::string>{"posted"}));
}

TEST_F(ReachabilityMonitorTest, FailuresThrowAndLeaveNothingRunning) {
  platform::Reachability::failNextTargetCreation(EACCES);
  try {
    Reachability::create();
    ADD_FAILURE() << "no throw";
  } catch (const ReachabilityError& e) {
    EXPECT_EQ(e.kind(), ReachabilityError::Kind::failedToCreateWithAddress);
    EXPECT_EQ(e.code(), EACCES);
  }

  struct Case {
    std::function<void()> arrange;
    ReachabilityError::Kind kind;
  } cases[] = {
      {[] { platform::Reachability::failNextSetCallback(EPERM); }, ReachabilityError::Kind::unableToSetCallback},
      {[] { platform::Reachability::failNextSetQueue(EBUSY); }, ReachabilityError::Kind::unableToSetDispatchQueue},
      {[] { platform::Reachability::setTestFlags(std::nullopt); }, ReachabilityError::Kind::unableToGetFlags},
  };
  for (const auto& c : cases) {
    platform::Reachability::useTestFlags(kReachable);
    auto monitor = Reachability::create();
    c.arrange();
    try {
      monitor->startNotifier();
      ADD_FAILURE() << "no throw";
    } catch (const ReachabilityError& e) {
      EXPECT_EQ(e.kind(), c.kind);
      EXPECT_NE(e.code(), 0);
    }
    EXPECT_FALSE(monitor->notifierRunning());
    // Nothing stayed installed: a later reading is not delivered.
    platform::Reachability::setTestFlags(kCellular);
    EXPECT_EQ(monitor->connection(), Reachability::Connection::cellular);
  }
  // A failed reading inside connection() gives unavailable and throws nothing.
  platform::Reachability::useTestFlags(std::nullopt);
  EXPECT_EQ(Reachability::create()->connection(), Reachability::Connection::unavailable);
}

TEST_F(ReachabilityMonitorTest, ReleasedMonitorPostsNothing) {
  platform::NotificationCenter center;
  int posted = 0;
  center.addObserver(kReachabilityChangedNotification, nullptr, [&](const auto&) { ++posted; });
  std::optional<std::size_t> pending;
  platform::Dispatch::main().sync([&] {
    // While the main queue is busy here, the start queues its work item there;
    // the monitor is gone before the item runs.
    auto monitor = Reachability::create();
    monitor->setNotificationCenter(center);
    monitor->startNotifier();
    monitor.reset();
    pending = platform::Reachability::liveTestTargets();
  });
  platform::Dispatch::main().sync([] {});
  EXPECT_EQ(posted, 0);
  EXPECT_EQ(pending, 0u);
}

// A stored position asks for the network state, and the send road asks
// whether the device is online; while the monitor runs, its latest reading
// answers both and the route table is not read per position.
TEST_F(ReachabilityMonitorTest, NetworkStatusFollowsTheRunningMonitorWithoutReadingPerPosition) {
  auto& device = DeviceInfo::sharedInstance();
  auto monitor = makeMonitor(nullptr);
  monitor->startNotifier();
  const auto readings = platform::Reachability::oneShotReadings();
  const std::pair<std::uint32_t, bool> events[] = {
      {0u, false},       {kReachable, true}, {kReachable | ReachabilityFlags::connectionRequired, false},
      {kCellular, true}, {0u, false},
  };
  for (const auto& [flags, online] : events) {
    platform::Reachability::setTestFlags(flags);
    // The next position sees the change at once, before the monitor's queue has run.
    for (int position = 0; position < 3; ++position) {
      EXPECT_EQ(device.networkStatus(), online) << flags;
      // The online test the send road asks per position answers the same way.
      EXPECT_EQ(ReachabilityCheck::isConnectedToNetwork(), online) << flags;
    }
    settle(*monitor);
    EXPECT_EQ(monitor->flags(), ReachabilityFlagSet{flags});
  }
  EXPECT_EQ(platform::Reachability::oneShotReadings(), readings);

  // A watch of the test source does not answer once the system source is back.
  platform::Reachability::useSystemFlags();
  device.networkStatus();
  EXPECT_EQ(platform::Reachability::oneShotReadings(), readings + 1);
  platform::Reachability::useTestFlags(kReachable);

  // Stopped (or released), the monitor answers nothing: each position reads the route table.
  monitor->stopNotifier();
  EXPECT_TRUE(device.networkStatus());
  platform::Reachability::setTestFlags(0u);
  EXPECT_FALSE(device.networkStatus());
  EXPECT_EQ(platform::Reachability::oneShotReadings(), readings + 3);
  monitor->startNotifier();
  monitor.reset();
  platform::Reachability::setTestFlags(kReachable);
  EXPECT_TRUE(device.networkStatus());
  EXPECT_EQ(platform::Reachability::oneShotReadings(), readings + 4);
}

// The same on the host's own routes: the monitor's netlink watch answers.
TEST(MonitorOnTheSystemSource, NetworkStatusReadsNoRouteTableWhileTheMonitorRuns) {
  platform::Reachability::useSystemFlags();
  auto& device = DeviceInfo::sharedInstance();
  const bool online = device.networkStatus();
  auto monitor = Reachability::create(nullptr);
  try {
    monitor->startNotifier();
  } catch (const ReachabilityError& e) {
    GTEST_SKIP() << "no route events here: " << e.what();
  }
  const auto readings = platform::Reachability::oneShotReadings();
  ASSERT_TRUE(platform::Reachability::watchedDefaultRouteFlags());
  for (int position = 0; position < 100; ++position) EXPECT_EQ(device.networkStatus(), online);
  EXPECT_EQ(platform::Reachability::oneShotReadings(), readings);
  monitor->stopNotifier();
  EXPECT_FALSE(platform::Reachability::watchedDefaultRouteFlags());
  EXPECT_EQ(device.networkStatus(), online);
  EXPECT_EQ(platform::Reachability::oneShotReadings(), readings + 1);
}

TEST(ReachabilityFlagSetTest, TextsAndTests) {
  using F = ReachabilityFlags;
  EXPECT_EQ((ReachabilityFlagSet{F::reachable}).description(), "-R -------");
  EXPECT_EQ((ReachabilityFlagSet{0xFFFFFFFFu}).description(), "WR ctiCDld");
  EXPECT_TRUE((ReachabilityFlagSet{F::connectionOnDemand}).isConnectionOnTrafficOrDemandFlagSet());
  EXPECT_TRUE(
      (ReachabilityFlagSet{F::connectionRequired | F::transientConnection}).isConnectionRequiredAndTransientFlagSet());
  EXPECT_EQ(description(Reachability::Connection::none), "unavailable");
  EXPECT_EQ(description(Reachability::Connection::unavailable), "No Connection");
  EXPECT_EQ(description(Reachability::Connection::cellular), "Cellular");
  EXPECT_EQ(description(Reachability::NetworkStatus::reachableViaWiFi), "WiFi");
}

TEST(OnlineTest, ReachableWithoutConnectionRequiredIsOnline) {
  using F = ReachabilityFlags;
  struct Case {
    std::optional<std::uint32_t> flags;
    bool online;
  } cases[] = {
      {F::reachable, true},
      {F::reachable | F::isWWAN | F::isLocalAddress | F::isDirect, true},
      {F::reachable | F::connectionRequired, false},
      {F::isWWAN | F::isDirect, false},
      {0u, false},
      {std::nullopt, false},  // no reading
  };
  for (const auto& c : cases) {
    platform::Reachability::useTestFlags(c.flags);
    EXPECT_EQ(ReachabilityCheck::isConnectedToNetwork(), c.online) << (c.flags ? *c.flags : 0xdead);
  }
  platform::Reachability::useSystemFlags();
}

}  // namespace
}  // namespace pelk::test
