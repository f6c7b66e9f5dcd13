#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Dispatch.h"
#include "platform/Reachability.h"

namespace pelk::platform {
namespace {

using F = ReachabilityFlags;

// The scenario runs in a child process of this binary placed in a network
// namespace of its own (`unshare -n`), so the route changes touch nothing of
// the host.  The parent only launches it and reads its exit status.
constexpr const char* kChildEnv = "PELK_REACHABILITY_NETNS_CHILD";

bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

class FlagsCollector {
 public:
  void add(std::uint32_t flags) {
    std::lock_guard lock(mutex_);
    last_ = flags;
    ++count_;
    cv_.notify_all();
  }
  // Waits for a delivery whose reachable bit is `reachable`.
  bool waitFor(bool reachable, std::chrono::seconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return last_ && (((*last_ & F::reachable) != 0) == reachable); });
  }
  int count() {
    std::lock_guard lock(mutex_);
    return count_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::optional<std::uint32_t> last_;
  int count_ = 0;
};

TEST(ReachabilityNetns, DefaultRouteRemovalAndRestoreAreSeen) {
  if (std::getenv(kChildEnv) == nullptr) {
    if (!run("unshare -n true >/dev/null 2>&1")) GTEST_SKIP() << "network namespaces are not permitted here";
    if (!run("unshare -n sh -c 'ip link add pelkv0 type veth peer name pelkv1' >/dev/null 2>&1")) {
      GTEST_SKIP() << "cannot make a veth pair in a network namespace";
    }
    char self[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    const std::string command = std::string(kChildEnv) + "=1 unshare -n '" + self +
                                "' --gtest_filter=ReachabilityNetns.DefaultRouteRemovalAndRestoreAreSeen";
    EXPECT_TRUE(run(command)) << "the scenario failed in its namespace; run: " << command;
    return;
  }

  // In the namespace: a veth pair, pelkv0 holding the default route.
  ASSERT_TRUE(
      run("ip link set lo up && ip link add pelkv0 type veth peer name pelkv1 && "
          "ip link set pelkv1 up && ip link set pelkv0 up && ip addr add 10.77.0.2/24 dev pelkv0 && "
          "ip route add default via 10.77.0.1 dev pelkv0"));
  ASSERT_FALSE(Reachability::usingTestFlags());
  const auto initial = Reachability::readDefaultRouteFlags();
  ASSERT_TRUE(initial);
  EXPECT_EQ(*initial, F::reachable);

  auto target = Reachability::makeDefaultRouteTarget();
  ASSERT_TRUE(target);
  FlagsCollector seen;
  ASSERT_TRUE(target->setCallback([&](std::uint32_t f) { seen.add(f); }));
  ASSERT_TRUE(target->setQueue(Dispatch::makeSerial("test.reachability")));
  // The running watch's latest reading is kept for callers that would
  // otherwise dump the route table; it is there from the start.
  EXPECT_EQ(Reachability::watchedDefaultRouteFlags(), F::reachable);

  ASSERT_TRUE(run("ip route del default"));
  EXPECT_TRUE(seen.waitFor(false)) << "route removal not seen";
  EXPECT_EQ(Reachability::readDefaultRouteFlags(), 0u);
  EXPECT_EQ(Reachability::watchedDefaultRouteFlags(), 0u);  // kept before it was delivered

  ASSERT_TRUE(run("ip route add default via 10.77.0.1 dev pelkv0"));
  EXPECT_TRUE(seen.waitFor(true)) << "route restore not seen";
  EXPECT_EQ(Reachability::watchedDefaultRouteFlags(), F::reachable);

  // A link event: the peer goes down, pelkv0 loses its carrier while the
  // route stays, and the route no longer counts.
  ASSERT_TRUE(run("ip link set pelkv1 down"));
  EXPECT_TRUE(seen.waitFor(false)) << "carrier loss not seen";
  ASSERT_TRUE(run("ip link set pelkv1 up"));
  EXPECT_TRUE(seen.waitFor(true)) << "carrier return not seen";

  // After stop nothing more is delivered, and no watched reading is left to answer.
  ASSERT_TRUE(target->setQueue(nullptr));
  EXPECT_FALSE(Reachability::watchedDefaultRouteFlags());
  const int before = seen.count();
  ASSERT_TRUE(run("ip route del default"));
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_EQ(seen.count(), before);
}

TEST(ReachabilityTestFlags, TargetsAnswerAndDeliverTheTestFlags) {
  Reachability::useTestFlags(F::reachable | F::isWWAN);
  auto target = Reachability::makeDefaultRouteTarget();
  ASSERT_TRUE(target);
  std::uint32_t flags = 0;
  ASSERT_TRUE(target->getFlags(flags));
  EXPECT_EQ(flags, F::reachable | F::isWWAN);
  EXPECT_EQ(Reachability::readDefaultRouteFlags(), F::reachable | F::isWWAN);

  FlagsCollector seen;
  target->setCallback([&](std::uint32_t f) { seen.add(f); });
  Reachability::setTestFlags(0);  // no queue yet: not delivered
  target->setQueue(Dispatch::makeSerial("test.flags"));
  Reachability::setTestFlags(F::reachable);
  EXPECT_TRUE(seen.waitFor(true));
  EXPECT_EQ(seen.count(), 1);

  Reachability::setTestFlags(std::nullopt);
  EXPECT_FALSE(target->getFlags(flags));
  EXPECT_NE(Reachability::lastError(), 0);
  EXPECT_FALSE(Reachability::readDefaultRouteFlags());

  Reachability::failNextSetQueue(EBUSY);
  EXPECT_FALSE(target->setQueue(Dispatch::makeSerial("x")));
  EXPECT_EQ(Reachability::lastError(), EBUSY);
  EXPECT_TRUE(target->setQueue(Dispatch::makeSerial("x")));  // only the next one fails

  target.reset();
  EXPECT_EQ(Reachability::liveTestTargets(), 0u);
  Reachability::useSystemFlags();
  EXPECT_FALSE(Reachability::usingTestFlags());
}

// The monitor's latest reading stands in for a one-shot reading only while it
// says what a one-shot reading would: once the reading fails, it offers none.
TEST(ReachabilityTestFlags, WatchedReadingFollowsTheSourceWhenItStopsAnswering) {
  Reachability::useTestFlags(F::reachable);
  auto target = Reachability::makeDefaultRouteTarget();
  ASSERT_TRUE(target->setCallback([](std::uint32_t) {}));
  ASSERT_TRUE(target->setQueue(Dispatch::makeSerial("hostile-cache")));
  EXPECT_EQ(Reachability::watchedDefaultRouteFlags(), F::reachable);
  Reachability::setTestFlags(std::nullopt);
  EXPECT_EQ(Reachability::readDefaultRouteFlags(), std::nullopt);
  EXPECT_EQ(Reachability::watchedDefaultRouteFlags(), std::nullopt);
  Reachability::setTestFlags(F::reachable | F::isWWAN);
  EXPECT_EQ(Reachability::watchedDefaultRouteFlags(), F::reachable | F::isWWAN);
  target.reset();
  EXPECT_EQ(Reachability::watchedDefaultRouteFlags(), std::nullopt);
  Reachability::useSystemFlags();
}

}  // namespace
}  // namespace pelk::platform
