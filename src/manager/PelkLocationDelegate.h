#pragma once

#include <memory>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "pelk/PelkDelegate.h"
#include "platform/Location.h"
#include "platform/ThreadSafety.h"

namespace pelk {

// Hands what the kit learns to the app's delegate, under the stored switches.
// Every delivery runs on the caller's thread with no lock held while the
// delegate is called.
class PelkLocationDelegate {
 public:
  static PelkLocationDelegate& sharedInstance();

  PelkLocationDelegate() = default;
  virtual ~PelkLocationDelegate() = default;
  PelkLocationDelegate(const PelkLocationDelegate&) = delete;
  PelkLocationDelegate& operator=(const PelkLocationDelegate&) = delete;

  std::shared_ptr<PelkDelegate> delegate() const;
  void setDelegate(std::shared_ptr<PelkDelegate> delegate);

  // An accepted position of this device, activity "M" or "S".
  virtual void updateLocation(const platform::Location& location, const std::string& activity);
  // A message of the event topic: each entry of its "events" list, in order.
  virtual void didReceiveEvents(const nlohmann::json& message);
  virtual void didReceiveUserLocation(const nlohmann::json& message);
  virtual void didReceiveTripStatus(const PelkTripStatusListener& listener);
  virtual void didFail(const PelkError& error);
  // A one-shot fix reached the app: counted when the app does not publish.
  virtual void getCurrentLocation();

 private:
  // Lock order: a leaf (platform/LockOrder.h).
  mutable platform::Mutex mutex_;
  std::shared_ptr<PelkDelegate> delegate_ PELK_GUARDED_BY(mutex_);
};

}  // namespace pelk
