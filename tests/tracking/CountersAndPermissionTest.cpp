#include "tracking/LocationCounters.h"
#include "tracking/PermissionCheck.h"

#include "device/DeviceInfo.h"
#include "messaging/LocationUtils.h"
#include "network/PelkAPIClient.h"
#include "foundation/LoggerManager.h"
#include "support/WaitFor.h"
#include "support/WalCommits.h"
#include "tracking/TrackingFixture.h"

namespace pelk::test {
namespace {

class CountersTest : public TrackingTest {};

class ScriptedCountClient : public PelkAPIClient {
 public:
  std::optional<std::string> reply;
  int calls = 0;
  void locationPublisher(TextCompletion handler) override {
    ++calls;
    handler(reply, reply == kLocationCount ? std::nullopt : std::optional<PelkError>(PelkError("QB500", "x")));
  }
};

TEST_F(CountersTest, AReportEndsItsFlightWhateverTheReply) {
  const struct {
    std::optional<std::string> reply;
    std::int64_t countAfter;
  } cases[] = {{std::string(kLocationCount), 0}, {std::string("Server error"), 3}, {std::nullopt, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply.value_or("<none>"));
    ScriptedCountClient api;
    api.reply = c.reply;
    PelkLocationCount::sharedInstance().setAPIClientForTesting(&api);
    SharedUtil::setDefaultBoolean(false, KLocationPublisher);
    SharedUtil::setDefaultBoolean(true, kLocationListenerSubscribe);
    SharedUtil::removeKey(KLocationCountSDK);
    for (int i = 0; i < 3; ++i) LocationUpdateStatus::shared().addData();
    SharedUtil::setDefaultDate(platform::Clock::now() - 5min, KLocationCountStartedDate);
    PelkLocationCount::sharedInstance().updateLocationCount();
    EXPECT_EQ(api.calls, 1);
    EXPECT_FALSE(SharedUtil::getDefaultBoolean(kLocationCountUpdating));
    EXPECT_EQ(SharedUtil::getDefaultInteger(KLocationCountSDK), c.countAfter);
    // The next report is not blocked by a failed one.
    if (c.countAfter != 0) {
      PelkLocationCount::sharedInstance().updateLocationCount();
      EXPECT_EQ(api.calls, 2);
    }
    PelkLocationCount::sharedInstance().setAPIClientForTesting(nullptr);
  }
}

TEST_F(CountersTest, NoReportWhenAConditionFails) {
  ScriptedCountClient api;
  api.reply = kLocationCount;
  PelkLocationCount::sharedInstance().setAPIClientForTesting(&api);
  const struct {
    const char* name;
    bool publisher, listener, online, due;
  } cases[] = {{"publisher", true, true, true, true},
               {"listener off", false, false, true, true},
               {"offline", false, true, false, true},
               {"not due", false, true, true, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SharedUtil::setDefaultBoolean(c.publisher, KLocationPublisher);
    SharedUtil::setDefaultBoolean(c.listener, kLocationListenerSubscribe);
    setOnline(c.online);
    SharedUtil::setDefaultInteger(2, KLocationCountSDK);
    SharedUtil::setDefaultDate(platform::Clock::now() - (c.due ? 5min : 2min), KLocationCountStartedDate);
    PelkLocationCount::sharedInstance().updateLocationCount();
    EXPECT_EQ(api.calls, 0);
  }
  PelkLocationCount::sharedInstance().setAPIClientForTesting(nullptr);
}

TEST_F(CountersTest, GpsStatusRecordIsKeptWhenItCannotGoOut) {
  const struct {
    bool network, mqttConnected, kept;
  } cases[] = {{false, true, true}, {true, false, true}, {true, true, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.network) + std::to_string(c.mqttConnected));
    SharedUtil::removeKey(kGPSStatus);
    {
      std::lock_guard lock(rec_->mutex);
      rec_->connected = c.mqttConnected;
      rec_->published.clear();
    }
    PelkLocationGpsData::sharedInstance().gpsChange(c.network);
    platform::Dispatch::drainMain();
    auto kept = SharedUtil::getDefaultDictionary(kGPSStatus);
    EXPECT_EQ(!kept.empty(), c.kept) << kept.dump();
    EXPECT_EQ(publishedCount(), c.kept ? 0u : 1u);
    if (c.kept) {
      EXPECT_EQ(kept.size(), 16u);
      EXPECT_EQ(kept["network_status"], c.network);
      EXPECT_EQ(kept["gps_status"], false);
      EXPECT_EQ(kept["location_permission"], false);
    }
  }
}

TEST_F(CountersTest, RadiusFollowsTheWindowOfCloseSpeeds) {
  SharedUtil::setDefaultInteger(3, kTrackingOption);
  auto t = platform::Clock::now();
  LocationUtils::saveLocation(fixAt(52.5, 13.4, 10, t));
  double lat = 52.5;
  std::int64_t radius = 0;
  // 25 km/h: about 0.0694 km every 10 s, i.e. 0.000624 degrees of latitude.
  for (int i = 1; i <= 5; ++i) {
    t += 10s;
    lat += 0.0006245;
    auto fix = fixAt(lat, 13.4, 10, t);
    radius = LocationFilter::getPassiveRadius(fix);
    if (i < 5) {
      EXPECT_EQ(radius, 100) << i;
    }
    LocationUtils::saveLocation(fix);
  }
  EXPECT_EQ(radius, 300);
  auto late = fixAt(lat + 0.001, 13.4, 10, t + 61s);
  EXPECT_EQ(LocationFilter::getPassiveRadius(late), 100);
  EXPECT_EQ(LocationUtils::getAllSpeed().size(), 1u);
}

// With logging on, the radius logs its speeds from inside its settings
// transaction while replies are logged on other threads: neither may wait for
// the other's lock (a position's road stalled for good on this once).
TEST_F(CountersTest, RadiusLoggingItsSpeedsWhileRepliesAreLoggedNeverHangs) {
  SharedUtil::setDefaultBoolean(true, kLoggingEnabled);
  SharedUtil::setDefaultInteger(3, kTrackingOption);
  constexpr int kPositions = 150;
  auto t = platform::Clock::now();
  LocationUtils::saveLocation(fixAt(52.5, 13.4, 10, t));
  allFinishOrDie(
      {[&] {
         double lat = 52.5;
         for (int i = 0; i < kPositions; ++i) {
           t += 10s;
           lat += 0.0006245;
           const auto fix = fixAt(lat, 13.4, 10, t);
           LocationFilter::getPassiveRadius(fix);
           LocationUtils::saveLocation(fix);
         }
       },
       [] {
         for (int i = 0; i < kPositions; ++i) {
           LoggerManager::sharedInstance().writeLocationToFile("Trip Status  {\"code\":200} " + std::to_string(i));
         }
       }},
      "radius and replies logging at once");
  const std::string log = readFile(LoggerManager::fileUrl());
  EXPECT_NE(log.find("Average Speed 25.0"), std::string::npos);
  EXPECT_NE(log.find("Trip Status  {\"code\":200} " + std::to_string(kPositions - 1)), std::string::npos);
}

// What a position commits to the settings, step by step: the counts, the
// last position and the speed window are lazy values, written later and
// together (no commit of their own); only a durable switch commits, one
// commit for the step.
TEST_F(CountersTest, AStepOfAPositionCommitsTheSettingsOnlyForDurableValues) {
  // The position's own commits: the log's records, written on a schedule of
  // their own, are left out of the count.
  SharedUtil::setDefaultBoolean(false, kLoggingEnabled);
  const std::string file = SharedUtil::userDefaultValue()->path();
  auto t = platform::Clock::now();
  double lat = 52.5;
  auto next = [&] {
    t += 10s;
    lat += 0.0006245;
    return fixAt(lat, 13.4, 10, t);
  };
  auto committing = [&](const std::function<void()>& step) {
    const int before = walCommits(file);
    step();
    return walCommits(file) - before;
  };
  SharedUtil::setDefaultBoolean(false, kLocationCountUpdating);
  struct Case {
    const char* what;
    std::function<void()> step;
    int commits;
  };
  const platform::Location first = next();
  const Case cases[] = {
      {"first count: start date and count", [] { LocationUpdateStatus::shared().addData(); }, 0},
      {"next count", [] { LocationUpdateStatus::shared().addData(); }, 0},
      {"count while a report is in flight: temporary date and counts",
       [] {
         SharedUtil::setDefaultBoolean(true, kLocationCountUpdating);
         LocationUpdateStatus::shared().addData();
       },
       1},  // the flight's switch is durable
      {"last position: four values", [&] { LocationUtils::saveLocation(first); }, 0},
      {"the same last position again", [&] { LocationUtils::saveLocation(first); }, 0},
      {"radius: first speed", [&] { LocationFilter::getPassiveRadius(next()); }, 0},
      {"radius: speeds 2 to 4",
       [&] {
         for (int i = 0; i < 3; ++i) LocationFilter::getPassiveRadius(next());
       },
       0},
      {"radius: fifth speed drops the oldest", [&] { LocationFilter::getPassiveRadius(next()); }, 0},
      // The window was never written: it goes without a commit.
      {"radius: a late position starts again",
       [&] {
         t += 61s;
         LocationFilter::getPassiveRadius(next());
       },
       0},
  };
  for (const auto& c : cases) EXPECT_EQ(committing(c.step), c.commits) << c.what;
  EXPECT_EQ(SharedUtil::getDefaultInteger(KLocationCountSDK), 3);
  EXPECT_EQ(SharedUtil::getDefaultInteger(KLocationCountSDKTemp), 1);
  EXPECT_TRUE(SharedUtil::userDefaultValue()->contains(KLocationCountStartedDate));
  EXPECT_TRUE(SharedUtil::userDefaultValue()->contains(KLocationCountStartedDateTemp));
  EXPECT_EQ(LocationUtils::getLastLocation().coordinate.latitude, first.coordinate.latitude);
  EXPECT_EQ(LocationUtils::getAllSpeed().size(), 1u);
}

class PermissionTest : public TrackingTest {};

TEST_F(PermissionTest, GrantIsNeededWithServicesOn) {
  const struct {
    bool services;
    platform::AuthorizationStatus status;
    bool granted;
  } cases[] = {{true, platform::AuthorizationStatus::authorizedAlways, true},
               {true, platform::AuthorizationStatus::authorizedWhenInUse, true},
               {true, platform::AuthorizationStatus::denied, false},
               {false, platform::AuthorizationStatus::authorizedAlways, false}};
  for (const auto& c : cases) {
    sim_->setServicesEnabled(c.services);
    sim_->setAuthorization(c.status);
    platform::Dispatch::drainMain();
    EXPECT_EQ(PermissionCheck::isLocationPermissionGranted(), c.granted);
    EXPECT_EQ(device::links::locationServicesEnabled(), c.services);
    EXPECT_EQ(device::links::locationAuthorizationStatus(), static_cast<int>(c.status));
  }
}

// No prompt answers on this host: the answer in force is the host's own (here
// a denial given first), recorded at the request; a later grant is heard,
// recorded, switches tracking on and lets the manager go.
TEST_F(PermissionTest, AnswerIsRecordedAndAGrantDropsTheManager) {
  auto& request = PelkRequestLocation::shareInstance();
  ASSERT_TRUE(HostLocationAuthorization::state(2));
  SharedUtil::removeKey(klocationPermissionStatus);
  request.requestLocation();
  platform::Dispatch::drainMain();
  EXPECT_EQ(SharedUtil::getDefaultInteger(klocationPermissionStatus), 2);
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(kIsLocationTracking));
  ASSERT_TRUE(request.locationManager());
  sim_->setAuthorization(platform::AuthorizationStatus::authorizedWhenInUse);
  platform::Dispatch::drainMain();
  EXPECT_EQ(SharedUtil::getDefaultInteger(klocationPermissionStatus), 4);
  EXPECT_TRUE(SharedUtil::getDefaultBoolean(kIsLocationTracking));
  EXPECT_FALSE(request.locationManager());
  request.requestLocation();
  EXPECT_TRUE(request.locationManager());
}

}  // namespace
}  // namespace pelk::test
