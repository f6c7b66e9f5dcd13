#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/Dispatch.h"

namespace pelk::platform {

// Bits of a reachability reading of the default route.  On Linux only
// `reachable` and `isWWAN` are ever set by the system reader; the other bits
// exist so that readings from the test source can carry them.
struct ReachabilityFlags {
  static constexpr std::uint32_t transientConnection = 1u << 0;
  static constexpr std::uint32_t reachable = 1u << 1;
  static constexpr std::uint32_t connectionRequired = 1u << 2;
  static constexpr std::uint32_t connectionOnTraffic = 1u << 3;
  static constexpr std::uint32_t interventionRequired = 1u << 4;
  static constexpr std::uint32_t connectionOnDemand = 1u << 5;
  static constexpr std::uint32_t isLocalAddress = 1u << 16;
  static constexpr std::uint32_t isDirect = 1u << 17;
  static constexpr std::uint32_t isWWAN = 1u << 18;
};

using ReachabilityCallback = std::function<void(std::uint32_t flags)>;

// A watch on the default route.  Readings are taken on demand (getFlags) and,
// once a callback and a queue are set, delivered on that queue after every
// change (route and link events, debounced).  Every failing call sets
// Reachability::lastError().
class ReachabilityTarget {
 public:
  virtual ~ReachabilityTarget() = default;
  // False when the reading cannot be taken.
  virtual bool getFlags(std::uint32_t& flags) = 0;
  // Installs the callback; an empty one removes it.  False when refused.
  virtual bool setCallback(ReachabilityCallback callback) = 0;
  // Starts delivering on `queue`; null stops.  False when refused.
  virtual bool setQueue(std::shared_ptr<Queue> queue) = 0;
};

// The reachability service.  Reachable means: an interface that is up and
// running, not loopback, holds a unicast default route (IPv4 or IPv6) of the
// main table.  WWAN is read from the interface's sysfs DEVTYPE.  Nothing is sent
// on the network; readings come from rtnetlink.
//
// Tests switch the whole process to a flags source of their own at run time:
// every target made afterwards, and every one-shot reading, answers the test
// flags, and each setTestFlags() delivers to every running test target.
class Reachability {
 public:
  // A new watch on the default route, or null (with lastError set).
  static std::unique_ptr<ReachabilityTarget> makeDefaultRouteTarget();
  // One reading of the default route; nothing when it cannot be taken.
  static std::optional<std::uint32_t> readDefaultRouteFlags();
  // The latest reading a running watch took (a target with a queue set - and,
  // on the test source, a callback), so that a caller can skip its own look
  // at the route table while the watch runs.  A reading the watch has taken
  // is seen here before it is delivered.  Nothing when no watch of the source
  // in use runs or none of their latest readings succeeded.
  static std::optional<std::uint32_t> watchedDefaultRouteFlags();
  // One-shot readings (readDefaultRouteFlags) taken since the process
  // started, from either source.
  static std::uint64_t oneShotReadings();
  // The error code of the last failing call on this thread (an errno value).
  static int lastError();

  // Test flags source.
  static void useTestFlags(std::optional<std::uint32_t> initial);
  static void useSystemFlags();
  static bool usingTestFlags();
  // Sets the test reading (nothing: readings fail) and delivers it to every
  // running test target, also when it equals the previous one.
  static void setTestFlags(std::optional<std::uint32_t> flags);
  // Makes the next target creation, setCallback or setQueue of the test source fail.
  static void failNextTargetCreation(int error);
  static void failNextSetCallback(int error);
  static void failNextSetQueue(int error);
  // Test targets alive now.
  static std::size_t liveTestTargets();
  // Callbacks and queues installed on test targets (non-empty ones) since
  // useTestFlags.
  static std::size_t testInstallations();
};

}  // namespace pelk::platform
