#include "manager/PelkLocationDelegate.h"

#include <exception>
#include <string>
#include <utility>

#include "device/DeviceInfo.h"
#include "foundation/AppDefaults.h"
#include "foundation/DateExtensions.h"
#include "foundation/SharedUtil.h"
#include "foundation/TokenManager.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "storage/PelkTripStorageManager.h"
#include "tracking/LocationCounters.h"

namespace pelk {
namespace {

// The app's code must not end the kit's work: a delegate that throws would
// otherwise leave a position unsent (the app hears of it before the server)
// and skip the events after it.
template <class Call>
void shielded(const char* what, Call&& call) {
  try {
    call();
  } catch (const std::exception& e) {
    platform::Console::print(std::string("delegate ") + what + " threw: " + e.what(), platform::Console::Level::Error);
  } catch (...) {
    platform::Console::print(std::string("delegate ") + what + " threw", platform::Console::Level::Error);
  }
}

}  // namespace

PelkLocationDelegate& PelkLocationDelegate::sharedInstance() {
  // Never destroyed: deliveries may still arrive from other threads at exit.
  static auto* instance = new PelkLocationDelegate();
  return *instance;
}

std::shared_ptr<PelkDelegate> PelkLocationDelegate::delegate() const {
  platform::LockGuard lock(mutex_);
  return delegate_;
}

void PelkLocationDelegate::setDelegate(std::shared_ptr<PelkDelegate> delegate) {
  std::shared_ptr<PelkDelegate> replaced;
  {
    platform::LockGuard lock(mutex_);
    replaced = std::exchange(delegate_, std::move(delegate));
  }
  // The app's replaced delegate may end here and run its own clean-up, which
  // may call the kit: no lock of ours is held.
}

void PelkLocationDelegate::updateLocation(const platform::Location& location, const std::string& activity) {
  if (SharedUtil::getDefaultBoolean(kLocationListenerSubscribe)) {
    if (!TokenManager::getLocationPublisher()) LocationUpdateStatus::shared().addData();
    if (auto app = delegate()) {
      const PelkLocation fix(TokenManager::getUserId(), activity, location, DeviceInfo::sharedInstance().timeOffSet(),
                             iso8601(platform::Clock::now()));
      shielded("didUpdateLocation", [&] { app->didUpdateLocation(fix); });
    }
  }
  const auto tripId = TokenManager::getSubcribeTripStatusListener();
  if (!tripId.empty()) PelkTripStorageManager::shared().sendTripStatusIfOngoing(tripId);
}

void PelkLocationDelegate::didReceiveEvents(const nlohmann::json& message) {
  if (!message.is_object()) return;
  const auto it = message.find("events");
  if (it == message.end() || !it->is_array()) return;
  auto app = delegate();
  if (!app) return;
  for (const auto& entry : *it) {
    if (auto events = PelkEvents::fromDictionary(entry)) {
      shielded("didReceiveEvents", [&] { app->didReceiveEvents(*events); });
    }
  }
}

void PelkLocationDelegate::didReceiveUserLocation(const nlohmann::json& message) {
  auto app = delegate();
  if (!app) return;
  if (auto received = PelkLocationReceived::fromDictionary(message)) {
    shielded("didReceiveUserLocation", [&] { app->didReceiveUserLocation(*received); });
  }
}

void PelkLocationDelegate::didReceiveTripStatus(const PelkTripStatusListener& listener) {
  if (SharedUtil::getDefaultString(kSubscribeTripStatus).empty()) return;
  if (auto app = delegate()) shielded("didReceiveTripStatus", [&] { app->didReceiveTripStatus(listener); });
}

void PelkLocationDelegate::didFail(const PelkError& error) {
  if (auto app = delegate()) shielded("onError", [&] { app->onError(error); });
}

void PelkLocationDelegate::getCurrentLocation() {
  if (TokenManager::getLocationPublisher()) return;
  LocationUpdateStatus::shared().addData();
  PelkLocationCount::sharedInstance().getUpdateLocationCount();
}

}  // namespace pelk
