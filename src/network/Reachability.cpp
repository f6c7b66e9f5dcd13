#include "network/Reachability.h"

#include <cerrno>

namespace pelk {

using platform::ReachabilityFlags;

// ------------------------------------------------------------------ flag set

bool ReachabilityFlagSet::isReachableFlagSet() const { return rawValue & ReachabilityFlags::reachable; }
bool ReachabilityFlagSet::isOnWWANFlagSet() const { return rawValue & ReachabilityFlags::isWWAN; }
bool ReachabilityFlagSet::isConnectionRequiredFlagSet() const {
  return rawValue & ReachabilityFlags::connectionRequired;
}
bool ReachabilityFlagSet::isInterventionRequiredFlagSet() const {
  return rawValue & ReachabilityFlags::interventionRequired;
}
bool ReachabilityFlagSet::isConnectionOnTrafficFlagSet() const {
  return rawValue & ReachabilityFlags::connectionOnTraffic;
}
bool ReachabilityFlagSet::isConnectionOnDemandFlagSet() const {
  return rawValue & ReachabilityFlags::connectionOnDemand;
}
bool ReachabilityFlagSet::isConnectionOnTrafficOrDemandFlagSet() const {
  return isConnectionOnTrafficFlagSet() || isConnectionOnDemandFlagSet();
}
bool ReachabilityFlagSet::isTransientConnectionFlagSet() const {
  return rawValue & ReachabilityFlags::transientConnection;
}
bool ReachabilityFlagSet::isLocalAddressFlagSet() const { return rawValue & ReachabilityFlags::isLocalAddress; }
bool ReachabilityFlagSet::isDirectFlagSet() const { return rawValue & ReachabilityFlags::isDirect; }
bool ReachabilityFlagSet::isConnectionRequiredAndTransientFlagSet() const {
  return isConnectionRequiredFlagSet() && isTransientConnectionFlagSet();
}

ReachabilityConnection ReachabilityFlagSet::connection() const {
  if (!isReachableFlagSet()) return ReachabilityConnection::unavailable;
  return isOnWWANFlagSet() ? ReachabilityConnection::cellular : ReachabilityConnection::wifi;
}

std::string ReachabilityFlagSet::description() const {
  std::string s;
  s += isOnWWANFlagSet() ? 'W' : '-';
  s += isReachableFlagSet() ? 'R' : '-';
  s += ' ';
  s += isConnectionRequiredFlagSet() ? 'c' : '-';
  s += isTransientConnectionFlagSet() ? 't' : '-';
  s += isInterventionRequiredFlagSet() ? 'i' : '-';
  s += isConnectionOnTrafficFlagSet() ? 'C' : '-';
  s += isConnectionOnDemandFlagSet() ? 'D' : '-';
  s += isLocalAddressFlagSet() ? 'l' : '-';
  s += isDirectFlagSet() ? 'd' : '-';
  return s;
}

std::string description(ReachabilityConnection connection) {
  switch (connection) {
    case ReachabilityConnection::none:
      return "unavailable";
    case ReachabilityConnection::unavailable:
      return "No Connection";
    case ReachabilityConnection::wifi:
      return "WiFi";
    case ReachabilityConnection::cellular:
      return "Cellular";
  }
  return "No Connection";
}

std::string description(Reachability::NetworkStatus status) {
  switch (status) {
    case Reachability::NetworkStatus::notReachable:
      return "No Connection";
    case Reachability::NetworkStatus::reachableViaWiFi:
      return "WiFi";
    case Reachability::NetworkStatus::reachableViaWWAN:
      return "Cellular";
  }
  return "No Connection";
}

// ------------------------------------------------------------------ errors

namespace {
const char* kindText(ReachabilityError::Kind kind) {
  switch (kind) {
    case ReachabilityError::Kind::failedToCreateWithAddress:
      return "failedToCreateWithAddress";
    case ReachabilityError::Kind::failedToCreateWithHostname:
      return "failedToCreateWithHostname";
    case ReachabilityError::Kind::unableToSetCallback:
      return "unableToSetCallback";
    case ReachabilityError::Kind::unableToSetDispatchQueue:
      return "unableToSetDispatchQueue";
    case ReachabilityError::Kind::unableToGetFlags:
      return "unableToGetFlags";
  }
  return "reachability error";
}
}  // namespace

ReachabilityError::ReachabilityError(Kind kind, std::int32_t code)
    : std::runtime_error(std::string(kindText(kind)) + " (" + std::to_string(code) + ")"), kind_(kind), code_(code) {}

// ------------------------------------------------------------------ monitor

std::shared_ptr<Reachability> Reachability::create(platform::Queue* notificationQueue) {
  auto ref = platform::Reachability::makeDefaultRouteTarget();
  if (!ref) {
    throw ReachabilityError(ReachabilityError::Kind::failedToCreateWithAddress, platform::Reachability::lastError());
  }
  return create(std::move(ref), notificationQueue);
}

std::shared_ptr<Reachability> Reachability::create(std::unique_ptr<platform::ReachabilityTarget> reachabilityRef,
                                                   platform::Queue* notificationQueue) {
  return std::shared_ptr<Reachability>(new Reachability(std::move(reachabilityRef), notificationQueue));
}

Reachability::Reachability(std::unique_ptr<platform::ReachabilityTarget> ref, platform::Queue* notificationQueue)
    : reachabilityRef_(std::move(ref)),
      reachabilitySerialQueue_(platform::Dispatch::makeSerial("net.pelk.reachability", "pelk-reach-q")),
      notificationQueue_(notificationQueue),
      notificationCenter_(&platform::NotificationCenter::defaultCenter()) {}

Reachability::~Reachability() { stopNotifier(); }

void Reachability::setWhenReachable(Listener listener) {
  platform::LockGuard lock(mutex_);
  whenReachable_ = std::move(listener);
}

void Reachability::setWhenUnreachable(Listener listener) {
  platform::LockGuard lock(mutex_);
  whenUnreachable_ = std::move(listener);
}

std::optional<ReachabilityFlagSet> Reachability::flags() const {
  platform::LockGuard lock(mutex_);
  return flags_;
}

void Reachability::startNotifier() {
  {
    platform::LockGuard startStop(startStopMutex_);
    if (notifierRunning_) return;
    std::weak_ptr<Reachability> weak = weak_from_this();
    // The watch holds the monitor only weakly: a callback that finds it gone does nothing.
    const bool callbackSet = reachabilityRef_->setCallback([weak](std::uint32_t raw) {
      if (auto self = weak.lock()) self->updateFlags(ReachabilityFlagSet{raw});
    });
    if (!callbackSet) {
      const int code = platform::Reachability::lastError();
      stopLocked();
      throw ReachabilityError(ReachabilityError::Kind::unableToSetCallback, code);
    }
    if (!reachabilityRef_->setQueue(reachabilitySerialQueue_)) {
      const int code = platform::Reachability::lastError();
      stopLocked();
      throw ReachabilityError(ReachabilityError::Kind::unableToSetDispatchQueue, code);
    }
    notifierRunning_ = true;
  }
  // The first reading waits for the serial queue, so it is taken with no lock
  // held: a listener running there may itself start or stop the notifier.
  if (const int code = setReachabilityFlags(); code != 0) {
    stopNotifier();
    throw ReachabilityError(ReachabilityError::Kind::unableToGetFlags, code);
  }
}

void Reachability::stopNotifier() {
  platform::LockGuard startStop(startStopMutex_);
  stopLocked();
}

void Reachability::stopLocked() {
  reachabilityRef_->setCallback({});
  reachabilityRef_->setQueue(nullptr);
  notifierRunning_ = false;
}

int Reachability::setReachabilityFlags() {
  bool ok = false;
  int code = 0;
  // Read and stored in one step on the serial queue, where the watch also
  // delivers its changes: a change that comes in after this reading is then
  // stored after it, never overwritten by it.
  reachabilitySerialQueue_->sync([&] {
    std::uint32_t raw = 0;
    ok = reachabilityRef_->getFlags(raw);
    if (!ok) {
      code = platform::Reachability::lastError();
      return;
    }
    updateFlags(ReachabilityFlagSet{raw});
  });
  if (!ok) return code != 0 ? code : EIO;
  return 0;
}

void Reachability::updateFlags(ReachabilityFlagSet newFlags) {
  bool changed = false;
  {
    platform::LockGuard lock(mutex_);
    changed = flags_ != newFlags;
    flags_ = newFlags;
  }
  if (changed) notifyReachabilityChanged();
}

void Reachability::notifyReachabilityChanged() {
  std::weak_ptr<Reachability> weak = weak_from_this();
  auto work = [weak] {
    auto self = weak.lock();
    if (!self) return;
    const Connection now = self->connection();
    Listener listener;
    {
      platform::LockGuard lock(self->mutex_);
      listener = now != Connection::unavailable ? self->whenReachable_ : self->whenUnreachable_;
    }
    if (listener) listener(*self);
    self->notificationCenter().post(kReachabilityChangedNotification, self.get());
  };
  // Never run in place: the caller may hold a lock, or be the listener's own
  // start or stop.  Without a notification queue the work goes to the serial queue.
  if (notificationQueue_ != nullptr) {
    notificationQueue_->async(std::move(work));
  } else {
    reachabilitySerialQueue_->async(std::move(work));
  }
}

Reachability::Connection Reachability::connection() {
  // A failed reading stops the notifier, as a failed reading at start does.
  if (!flags() && setReachabilityFlags() != 0) stopNotifier();
  const auto current = flags();
  if (!current) return Connection::unavailable;
  switch (current->connection()) {
    case Connection::none:
    case Connection::unavailable:
      return Connection::unavailable;
    case Connection::wifi:
      return Connection::wifi;
    case Connection::cellular:
      return allowsCellularConnection_ ? Connection::cellular : Connection::unavailable;
  }
  return Connection::unavailable;
}

std::string Reachability::currentReachabilityString() { return pelk::description(connection()); }

std::string Reachability::description() const {
  const auto current = flags();
  return current ? current->description() : "unavailable flags";
}

// ------------------------------------------------------------------ online test

bool ReachabilityCheck::isConnectedToNetwork() {
  // Asked once per position on the send road: while a watch runs, its latest
  // reading answers without a look at the route table.
  auto raw = platform::Reachability::watchedDefaultRouteFlags();
  if (!raw) raw = platform::Reachability::readDefaultRouteFlags();
  if (!raw) return false;
  const ReachabilityFlagSet flags{*raw};
  return flags.isReachableFlagSet() && !flags.isConnectionRequiredFlagSet();
}

ReachabilityCheck& ReachabilityCheck::sharedInstance() {
  static auto* instance = new ReachabilityCheck();
  return *instance;
}

}  // namespace pelk
