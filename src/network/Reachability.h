#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/Dispatch.h"
#include "platform/NotificationCenter.h"
#include "platform/Reachability.h"
#include "platform/ThreadSafety.h"

namespace pelk {

// Name of the notification the monitor posts, with itself as the object.
inline const std::string kReachabilityChangedNotification = "reachabilityChanged";
// A second name nothing posts or observes.
inline const std::string ReachabilityChangedNotification = "ReachabilityChangedNotification";

// The kind of connection a reading shows.  Texts: none "unavailable",
// unavailable "No Connection", wifi "WiFi", cellular "Cellular".
enum class ReachabilityConnection { none, unavailable, wifi, cellular };

// Tests and text form of a reachability flag set.
struct ReachabilityFlagSet {
  std::uint32_t rawValue = 0;

  bool isReachableFlagSet() const;
  bool isOnWWANFlagSet() const;
  bool isConnectionRequiredFlagSet() const;
  bool isInterventionRequiredFlagSet() const;
  bool isConnectionOnTrafficFlagSet() const;
  bool isConnectionOnDemandFlagSet() const;
  bool isConnectionOnTrafficOrDemandFlagSet() const;
  bool isTransientConnectionFlagSet() const;
  bool isLocalAddressFlagSet() const;
  bool isDirectFlagSet() const;
  bool isConnectionRequiredAndTransientFlagSet() const;
  // Reachable gives wifi, or cellular when the WWAN flag is set too; anything
  // else gives unavailable.
  ReachabilityConnection connection() const;
  // Ten characters: "W" "R" " " "c" "t" "i" "C" "D" "l" "d", "-" for each clear flag.
  std::string description() const;

  friend bool operator==(const ReachabilityFlagSet&, const ReachabilityFlagSet&) = default;
};

class ReachabilityError : public std::runtime_error {
 public:
  enum class Kind {
    failedToCreateWithAddress,
    failedToCreateWithHostname,
    unableToSetCallback,
    unableToSetDispatchQueue,
    unableToGetFlags,
  };
  ReachabilityError(Kind kind, std::int32_t code);
  Kind kind() const { return kind_; }
  // The platform's error code (an errno value) when the error was built.
  std::int32_t code() const { return code_; }

 private:
  Kind kind_;
  std::int32_t code_;
};

// Watches the device's route to the internet and tells its owner about every
// change: one call of whenReachable or whenUnreachable, then the notification
// "reachabilityChanged" with the monitor as its object, on the notification
// queue (the main queue by default; with none, on the private serial queue).
// Listeners and the notification always run later, from a queue, never inside
// the call that read the change, and with no lock of the monitor held: a
// listener may call startNotifier or stopNotifier.  Readings are taken and
// stored on the private serial queue, in the order they were taken.  Made only
// through create(), as a shared object: queued work holds it weakly, so a
// monitor that is released posts nothing more.
class Reachability : public std::enable_shared_from_this<Reachability> {
 public:
  using Connection = ReachabilityConnection;
  enum class NetworkStatus { notReachable, reachableViaWiFi, reachableViaWWAN };

  using Listener = std::function<void(Reachability&)>;

  // Watches the default route.  Throws failedToCreateWithAddress when the
  // platform gives no watch.  A null notification queue makes the closures and
  // the notification run on the private serial queue.
  static std::shared_ptr<Reachability> create(platform::Queue* notificationQueue = &platform::Dispatch::main());
  // Over a given watch (tests, other targets).
  static std::shared_ptr<Reachability> create(std::unique_ptr<platform::ReachabilityTarget> reachabilityRef,
                                              platform::Queue* notificationQueue);

  ~Reachability();
  Reachability(const Reachability&) = delete;
  Reachability& operator=(const Reachability&) = delete;

  void setWhenReachable(Listener listener);
  void setWhenUnreachable(Listener listener);
  bool allowsCellularConnection() const { return allowsCellularConnection_.load(); }
  void setAllowsCellularConnection(bool allows) { allowsCellularConnection_ = allows; }
  bool reachableOnWWAN() const { return true; }
  platform::NotificationCenter& notificationCenter() const { return *notificationCenter_.load(); }
  void setNotificationCenter(platform::NotificationCenter& center) { notificationCenter_ = &center; }
  bool notifierRunning() const { return notifierRunning_.load(); }
  std::optional<ReachabilityFlagSet> flags() const;
  // The private serial queue the readings are taken on (tests drain it).
  platform::Queue& readingQueue() const { return *reachabilitySerialQueue_; }

  // Starts watching; returns at once when already running.  Throws
  // unableToSetCallback, unableToSetDispatchQueue or unableToGetFlags, each
  // after stopping again.
  void startNotifier();
  void stopNotifier();

  // Reads the flags once when none were read yet (errors ignored); no flags
  // give unavailable.  Must not be called on the serial queue while no flags
  // were read.
  Connection connection();
  Connection currentReachabilityStatus() { return connection(); }
  std::string currentReachabilityString();
  bool isReachable() { return connection() != Connection::unavailable; }
  bool isReachableViaWWAN() { return connection() == Connection::cellular; }
  bool isReachableViaWiFi() { return connection() == Connection::wifi; }
  // The text of the last flags, "unavailable flags" while none were read.
  std::string description() const;

 private:
  Reachability(std::unique_ptr<platform::ReachabilityTarget> ref, platform::Queue* notificationQueue);
  // Reads and stores the flags in one task on the serial queue; answers 0 or
  // the platform's error code.
  int setReachabilityFlags();
  void stopLocked();
  void updateFlags(ReachabilityFlagSet newFlags);
  void notifyReachabilityChanged();

  std::unique_ptr<platform::ReachabilityTarget> reachabilityRef_;
  std::shared_ptr<platform::Queue> reachabilitySerialQueue_;
  platform::Queue* notificationQueue_;
  std::atomic<platform::NotificationCenter*> notificationCenter_;
  std::atomic<bool> allowsCellularConnection_{true};
  std::atomic<bool> notifierRunning_{false};

  // Lock order: a leaf (platform/LockOrder.h).
  mutable platform::Mutex mutex_;  // guards flags_ and the listeners
  std::optional<ReachabilityFlagSet> flags_ PELK_GUARDED_BY(mutex_);
  Listener whenReachable_ PELK_GUARDED_BY(mutex_);
  Listener whenUnreachable_ PELK_GUARDED_BY(mutex_);
  // Lock order: before the platform watch's locks (platform/LockOrder.h).
  platform::Mutex startStopMutex_;  // serializes start and stop
};

std::string description(ReachabilityConnection connection);
std::string description(Reachability::NetworkStatus status);

// The synchronous online test used before every send-or-store decision: true
// when the default route is reachable without first having to set up a
// connection.  Keeps nothing; any thread.
class ReachabilityCheck {
 public:
  static bool isConnectedToNetwork();
  static ReachabilityCheck& sharedInstance();
};

}  // namespace pelk
