#include <chrono>
#include <cmath>
#include <limits>

#include "foundation/AppDefaults.h"
#include "foundation/DateExtensions.h"
#include "foundation/LoggerManager.h"
#include "foundation/SharedUtil.h"
#include "foundation/TokenManager.h"
#include "messaging/LocationUtils.h"
#include "platform/Clock.h"
#include "platform/Crypto.h"
#include "platform/SettingValue.h"

namespace pelk {
namespace {

using platform::SettingValue;

double secondsBetween(Date from, Date to) { return std::chrono::duration<double>(to - from).count(); }

// The stored speed history when it is a list of numbers.
std::optional<std::vector<double>> storedSpeeds() {
  auto v = SharedUtil::userDefaultValue()->value(kMotionSpeed);
  if (!v) return std::nullopt;
  const auto* list = v->get<SettingValue::List>();
  if (!list) return std::nullopt;
  std::vector<double> speeds;
  for (const auto& e : *list) {
    if (e.kind() != SettingValue::Kind::Double && e.kind() != SettingValue::Kind::Integer) return std::nullopt;
    speeds.push_back(*e.doubleValue());
  }
  return speeds;
}

void storeSpeeds(const std::vector<double>& speeds) {
  SettingValue::List list(speeds.begin(), speeds.end());
  auto suite = SharedUtil::userDefaultValue();
  suite->set(kMotionSpeed, list);
  suite->synchronize();
}

// Shortest text that reads back as the same number, with at least one
// fractional digit (12.0, 3.5).
std::string numberText(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  return nlohmann::json(value).dump();
}

}  // namespace

Date VisitTimes::distantPast() { return Date::min(); }
Date VisitTimes::distantFuture() { return Date::max(); }
bool VisitTimes::isRealDate(Date date) { return date > distantPast() && date < distantFuture(); }

void LocationUtils::saveLocation(const platform::Location& fix) {
  // One commit for the four values: a position costs one durable write, and a
  // reader never sees the coordinates of one position with the time of another.
  SharedUtil::userDefaultValue()->transaction([&] {
    SharedUtil::setDefaultDouble(fix.coordinate.latitude, kMotionLatitude);
    SharedUtil::setDefaultDouble(fix.coordinate.longitude, kMotionLongitude);
    SharedUtil::setDefaultDouble(fix.horizontalAccuracy, kMotionHorizontalAccuracy);
    SharedUtil::setDefaultDate(fix.timestamp, kMotionTimeStamp);
  });
}

platform::Location LocationUtils::getLastLocation() {
  const double latitude = SharedUtil::getDefaultDouble(kMotionLatitude);
  const double longitude = SharedUtil::getDefaultDouble(kMotionLongitude);
  const double accuracy = SharedUtil::getDefaultDouble(kMotionHorizontalAccuracy);
  const Date stamp = SharedUtil::getDefaultDate(kMotionTimeStamp);
  platform::Location last;
  if (latitude != 0 && longitude != 0) {
    last.coordinate = {latitude, longitude};
    last.altitude = 0;
    last.horizontalAccuracy = accuracy;
    last.verticalAccuracy = 0;
    last.timestamp = stamp;
  } else {
    last.timestamp = platform::Clock::now();
  }
  return last;
}

double LocationUtils::speedCalculate(const platform::Location& fix) {
  const auto last = getLastLocation();
  if (last == fix) return 0;
  if (last.coordinate.latitude == 0 || last.coordinate.longitude == 0) return 0;
  const double distance = last.distance(fix);
  const double elapsed = secondsBetween(last.timestamp, fix.timestamp);
  double v = distance / elapsed;
  if (std::isnan(v) || v < 0) v = 0;
  return roundToInt(3.6 * v);
}

void LocationUtils::saveSpeed(const platform::Location& fix) {
  const double s = speedCalculate(fix);
  auto suite = SharedUtil::userDefaultValue();
  suite->transaction([&] {
    const auto v = suite->value(kMotionSpeed);
    const auto* older = v ? v->get<SettingValue::List>() : nullptr;
    SettingValue::List list;
    list.emplace_back(older ? s : std::fabs(s));
    if (older) list.insert(list.end(), older->begin(), older->end());
    suite->set(kMotionSpeed, SettingValue(std::move(list)));
  });
  suite->synchronize();
}

std::vector<double> LocationUtils::getAllSpeed() { return storedSpeeds().value_or(std::vector<double>{}); }

void LocationUtils::deleteSpeed() {
  auto suite = SharedUtil::userDefaultValue();
  suite->transaction([&] {
    auto speeds = storedSpeeds();
    if (!speeds) {
      suite->remove(kMotionSpeed);
    } else if (!speeds->empty()) {
      speeds->pop_back();
      storeSpeeds(*speeds);
    }
  });
  suite->synchronize();
}

void LocationUtils::resetSpeed() { SharedUtil::removeKey(kMotionSpeed); }

std::int64_t LocationUtils::getSpeed(const std::vector<double>& speeds) {
  logSpeeds(speeds);
  return speedBand(speeds);
}

namespace {

// The mean of no speeds is not a number and falls to the smallest band.
double roundedMean(const std::vector<double>& speeds) {
  double sum = 0;
  for (double s : speeds) sum += s;
  return std::round(sum / static_cast<double>(speeds.size()));
}

}  // namespace

void LocationUtils::logSpeeds(const std::vector<double>& speeds) {
  std::string list = "[";
  for (std::size_t i = 0; i < speeds.size(); ++i) {
    if (i) list += ", ";
    list += numberText(speeds[i]);
  }
  list += "]";
  auto& logger = LoggerManager::sharedInstance();
  logger.writeLocationToFile("Array Speed " + list);
  logger.writeLocationToFile("Average Speed " + numberText(roundedMean(speeds)));
}

std::int64_t LocationUtils::speedBand(const std::vector<double>& speeds) {
  const double average = roundedMean(speeds);
  if (average >= 0 && average <= 10) return 100;
  if (average >= 10 && average <= 20) return 200;
  if (average >= 20 && average <= 30) return 300;
  if (average >= 30 && average <= 50) return 400;
  if (average >= 50 && average <= 70) return 500;
  if (average >= 70 && average <= 100) return 700;
  if (average >= 100) return 1000;
  return 100;
}

bool LocationUtils::filterAndAddLocation(const platform::Location& fix) {
  // A fix's age is how long ago this process received it, on the steady
  // clock: its GPS time stamp is the receiver's and the host's clock may be
  // far from it (no real-time clock before NTP answers, a clock set later),
  // which would refuse every fix or let stale ones through.  A fix that did
  // not come from the location service is judged by its own time stamp.
  const double age = fix.receivedAt
                         ? std::chrono::duration<double>(platform::Clock::steadyNow() - *fix.receivedAt).count()
                         : secondsBetween(fix.timestamp, platform::Clock::now());
  if (age > 10.0) return false;
  const double accuracy = fix.horizontalAccuracy;
  // A negative accuracy means the fix is invalid; NaN says nothing about it.
  if (!(accuracy >= 0)) return false;
  double limit = std::numeric_limits<double>::infinity();
  switch (SaveUtilis::getTrackingOptions()) {
    case PelkTrackingModeLocal::passive:
      limit = 100;
      break;
    case PelkTrackingModeLocal::balanced:
      limit = 75;
      break;
    case PelkTrackingModeLocal::active:
      limit = 50;
      break;
    case PelkTrackingModeLocal::custom: {
      // Without a stored limit (the app set none) every valid fix passes.
      auto v = SharedUtil::userDefaultValue()->value(kCustomAccuracyFilter);
      if (v && (v->kind() == SettingValue::Kind::Integer || v->kind() == SettingValue::Kind::Double)) {
        limit = *v->doubleValue();
      }
      break;
    }
    case PelkTrackingModeLocal::notselected:
      break;
  }
  return !(accuracy > limit);
}

bool LocationUtils::getCurrentLcoation30After() {
  const Date started = SharedUtil::getDefaultDate(kCurrentLocationTimer);
  return started + platform::seconds(3.0) < platform::Clock::now();
}

std::string LocationUtils::geofenceIdentifier() {
  return std::string(KGeofenceRegionIdentifier) + platform::Crypto::uuidString(platform::Crypto::randomUuid());
}

bool LocationUtils::distanceFilter(const platform::Location& fix) { return fix.distance(getLastLocation()) > 150.0; }

void LocationUtils::resetlocation() {
  SharedUtil::setDefaultBoolean(false, kIsLocationTracking);
  for (const char* key : {kMotionLatitude, kMotionLongitude, kMotionTimeStamp, kMotionHorizontalAccuracy}) {
    SharedUtil::removeKey(key);
  }
}

void LocationUtils::saveVisitTime(const VisitTimes& visit) {
  Date chosen = platform::Clock::now();
  if (VisitTimes::isRealDate(visit.arrivalDate)) {
    chosen = visit.arrivalDate;
  } else if (VisitTimes::isRealDate(visit.departureDate)) {
    chosen = visit.departureDate;
  }
  SharedUtil::setDefaultString(iso8601(chosen), kVisitDate);
}

}  // namespace pelk
