#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Dispatch.h"
#include "platform/LocationManager.h"
#include "platform/LocationServices.h"
#include "support/FixBuilder.h"

using namespace pelk::platform;
using namespace std::chrono_literals;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
const TimePoint kStart = Clock::fromSecondsSince1970(1'700'000'000);

// About 111 m per 0.001 degree of latitude.
Location fixAt(double lat, double lon, double accuracy = 10.0, int secondsAfterStart = 0) {
  return pelk::test::FixBuilder(lat, lon).accuracy(accuracy).takenAt(kStart + std::chrono::seconds(secondsAfterStart));
}

// Records every callback and whether it ran on the main thread.
struct Recorder : LocationManagerDelegate {
  std::vector<AuthorizationStatus> authorizations;
  std::vector<std::vector<Location>> updates;
  std::vector<LocationError> errors;
  std::vector<Visit> visits;
  std::vector<std::string> crossings;  // "+id" entered, "-id" exited
  std::vector<std::string> monitoringFailures;
  bool allOnMain = true;

  void note() { allOnMain = allOnMain && Dispatch::isMainThread(); }
  void didChangeAuthorization(LocationManager&, AuthorizationStatus s) override {
    note();
    authorizations.push_back(s);
  }
  void didUpdateLocations(LocationManager&, const std::vector<Location>& l) override {
    note();
    updates.push_back(l);
  }
  void didFailWithError(LocationManager&, const LocationError& e) override {
    note();
    errors.push_back(e);
  }
  void didVisit(LocationManager&, const Visit& v) override {
    note();
    visits.push_back(v);
  }
  void didEnterRegion(LocationManager&, const CircularRegion& r) override {
    note();
    crossings.push_back("+" + r.identifier);
  }
  void didExitRegion(LocationManager&, const CircularRegion& r) override {
    note();
    crossings.push_back("-" + r.identifier);
  }
  void monitoringDidFail(LocationManager&, const CircularRegion& r, const LocationError&) override {
    note();
    monitoringFailures.push_back(r.identifier);
  }
};

// A manager with its own recording delegate.
struct Client {
  std::shared_ptr<LocationManager> manager = LocationManager::create();
  std::shared_ptr<Recorder> rec = std::make_shared<Recorder>();
  Client() { manager->setDelegate(rec); }
};

class SimulatedLocation : public ::testing::Test {
 protected:
  void SetUp() override {
    Clock::useVirtual(kStart);
    Dispatch::useManualMainQueue();
    sim_ = &LocationServices::useSimulatedProvider();
  }
  void TearDown() override {
    Dispatch::drainMain();
    Dispatch::useThreadedMainQueue();
    Clock::useSystem();
  }
  void grant() {
    sim_->setAuthorization(AuthorizationStatus::authorizedAlways);
    Dispatch::drainMain();
  }
  SimulatedLocationProvider* sim_ = nullptr;
};

}  // namespace

TEST_F(SimulatedLocation, AuthorizationChangesReachEveryDelegateOnlyWhenTheStatusChanges) {
  Client a, b;
  Client silent;
  silent.manager->clearDelegate();

  a.manager->requestAlwaysAuthorization();
  b.manager->requestWhenInUseAuthorization();
  EXPECT_EQ(sim_->authorizationRequests(), (std::vector<bool>{true, false}));
  Dispatch::drainMain();
  EXPECT_TRUE(a.rec->authorizations.empty()) << "a request alone answers nothing";

  const std::vector<AuthorizationStatus> answers = {
      AuthorizationStatus::authorizedWhenInUse,
      AuthorizationStatus::authorizedWhenInUse,
      AuthorizationStatus::authorizedAlways,
      AuthorizationStatus::authorizedAlways,
      AuthorizationStatus::denied,
      AuthorizationStatus::denied,
  };
  for (auto s : answers) {
    sim_->setAuthorization(s);
    EXPECT_EQ(LocationServices::authorizationStatus(), s) << "the status reads at once";
  }
  EXPECT_TRUE(a.rec->authorizations.empty()) << "callbacks wait for the main queue";
  Dispatch::drainMain();

  const std::vector<AuthorizationStatus> changes = {AuthorizationStatus::authorizedWhenInUse,
                                                    AuthorizationStatus::authorizedAlways, AuthorizationStatus::denied};
  EXPECT_EQ(a.rec->authorizations, changes);
  EXPECT_EQ(b.rec->authorizations, changes);
  EXPECT_TRUE(a.rec->allOnMain);
  EXPECT_TRUE(silent.rec->authorizations.empty());
}

TEST_F(SimulatedLocation, FixesFromAnyThreadReachUpdatingManagersOnTheMainQueue) {
  grant();
  Client updating, idle;
  updating.manager->startUpdatingLocation();
  EXPECT_TRUE(sim_->isRunning());

  std::thread([&] { sim_->deliverFix(fixAt(45.0, 7.0)); }).join();
  EXPECT_TRUE(updating.rec->updates.empty()) << "nothing runs before the main queue does";
  Dispatch::drainMain();

  ASSERT_EQ(updating.rec->updates.size(), 1u);
  EXPECT_EQ(updating.rec->updates[0], std::vector<Location>{fixAt(45.0, 7.0)});
  EXPECT_TRUE(updating.rec->allOnMain);
  EXPECT_TRUE(idle.rec->updates.empty());
  // The last known position is one for all managers.
  ASSERT_TRUE(idle.manager->location().has_value());
  EXPECT_EQ(*idle.manager->location(), fixAt(45.0, 7.0));
  EXPECT_EQ(updating.manager->location(), idle.manager->location());

  updating.manager->stopUpdatingLocation();
  Dispatch::drainMain();  // the stop waits for the main queue's next turn
  EXPECT_FALSE(sim_->isRunning()) << "nobody needs positions any more";
  sim_->deliverFix(fixAt(45.001, 7.0));
  Dispatch::drainMain();
  EXPECT_EQ(updating.rec->updates.size(), 1u);
}

TEST_F(SimulatedLocation, AFixWithoutUsableCoordinateOrAccuracyIsNeverDelivered) {
  grant();
  Client c;
  c.manager->startUpdatingLocation();
  const std::vector<Location> bad = {
      fixAt(kNaN, 7.0),    fixAt(45.0, kNaN),      fixAt(kInf, 7.0),       fixAt(91.0, 7.0),
      fixAt(45.0, -180.5), fixAt(45.0, 7.0, -1.0), fixAt(45.0, 7.0, kNaN), fixAt(45.0, 7.0, kInf),
  };
  for (const auto& f : bad) {
    sim_->deliverFix(f);
    Dispatch::drainMain();
    EXPECT_TRUE(c.rec->updates.empty()) << f.coordinate.latitude << "," << f.coordinate.longitude << " ±"
                                        << f.horizontalAccuracy;
    EXPECT_FALSE(LocationServices::lastLocation().has_value());
  }
  // In a batch the unusable ones are left out.
  sim_->deliverFixes({fixAt(kNaN, kNaN, 5.0, 1), fixAt(45.0, 7.0, 5.0, 2)});
  Dispatch::drainMain();
  ASSERT_EQ(c.rec->updates.size(), 1u);
  EXPECT_EQ(c.rec->updates[0], std::vector<Location>{fixAt(45.0, 7.0, 5.0, 2)});
}

TEST_F(SimulatedLocation, DistanceFilterAndSignificantChangesThinTheFixesPerManager) {
  grant();
  Client filtered, significant, all;
  filtered.manager->setDistanceFilter(100.0);
  filtered.manager->startUpdatingLocation();
  significant.manager->startMonitoringSignificantLocationChanges();
  all.manager->startUpdatingLocation();

  // Northward steps of ~56, ~67, ~434 and ~56 m.
  const std::vector<double> lats = {45.0, 45.0005, 45.0011, 45.005, 45.0055};
  for (std::size_t i = 0; i < lats.size(); ++i) {
    sim_->deliverFix(fixAt(lats[i], 7.0, 10.0, static_cast<int>(i)));
  }
  Dispatch::drainMain();

  auto latitudes = [](const Recorder& r) {
    std::vector<double> out;
    for (const auto& batch : r.updates)
      for (const auto& l : batch) out.push_back(l.coordinate.latitude);
    return out;
  };
  EXPECT_EQ(latitudes(*all.rec), lats);
  EXPECT_EQ(latitudes(*filtered.rec), (std::vector<double>{45.0, 45.0011, 45.005}));
  EXPECT_EQ(latitudes(*significant.rec), (std::vector<double>{45.0, 45.005}));
}

TEST_F(SimulatedLocation, OneShotRequestGetsTheNewestFixOnceOrFailsAfterTheTimeout) {
  grant();
  LocationServices::setOneShotTimeout(10s);
  Client c;
  c.manager->requestLocation();
  EXPECT_TRUE(c.manager->isRequestingLocation());
  EXPECT_TRUE(sim_->isRunning());

  sim_->deliverFixes({fixAt(45.0, 7.0, 10.0, 1), fixAt(45.001, 7.0, 10.0, 2)});
  sim_->deliverFix(fixAt(45.002, 7.0, 10.0, 3));
  Dispatch::drainMain();
  ASSERT_EQ(c.rec->updates.size(), 1u);
  EXPECT_EQ(c.rec->updates[0], std::vector<Location>{fixAt(45.001, 7.0, 10.0, 2)});
  EXPECT_FALSE(c.manager->isRequestingLocation());
  EXPECT_FALSE(sim_->isRunning());
  Dispatch::advanceClock(11s);
  EXPECT_TRUE(c.rec->errors.empty()) << "an answered request does not time out";

  // No fix in time: the request fails with locationUnknown, once.
  c.manager->requestLocation();
  Dispatch::advanceClock(9s);
  EXPECT_TRUE(c.rec->errors.empty());
  Dispatch::advanceClock(2s);
  ASSERT_EQ(c.rec->errors.size(), 1u);
  EXPECT_EQ(c.rec->errors[0].code, LocationErrorCode::locationUnknown);
  EXPECT_FALSE(c.manager->isRequestingLocation());
  sim_->deliverFix(fixAt(45.0, 7.0));
  Dispatch::drainMain();
  EXPECT_EQ(c.rec->updates.size(), 1u);
}

TEST_F(SimulatedLocation, DenialFailsWhatManagersWaitForAndRefusesNewStarts) {
  Client waiting, updating, visitsOnly;
  waiting.manager->requestLocation();  // waits for the answer
  updating.manager->startUpdatingLocation();
  visitsOnly.manager->startMonitoringVisits();
  Dispatch::drainMain();
  EXPECT_TRUE(waiting.rec->errors.empty()) << "undetermined: the request waits";
  EXPECT_FALSE(sim_->isRunning());

  sim_->setAuthorization(AuthorizationStatus::denied);
  Dispatch::drainMain();
  for (auto* r : {waiting.rec.get(), updating.rec.get()}) {
    EXPECT_EQ(r->authorizations, std::vector<AuthorizationStatus>{AuthorizationStatus::denied});
    ASSERT_EQ(r->errors.size(), 1u);
    EXPECT_EQ(r->errors[0].code, LocationErrorCode::denied);
  }
  EXPECT_TRUE(visitsOnly.rec->errors.empty());
  EXPECT_FALSE(waiting.manager->isRequestingLocation());

  // Starts while denied fail at once; fixes are not delivered.
  Client late;
  late.manager->startUpdatingLocation();
  late.manager->requestLocation();
  sim_->deliverFix(fixAt(45.0, 7.0));
  Dispatch::drainMain();
  EXPECT_EQ(late.rec->errors.size(), 2u);
  EXPECT_TRUE(late.rec->updates.empty());
  EXPECT_TRUE(updating.rec->updates.empty());
  EXPECT_FALSE(LocationServices::lastLocation().has_value());

  // Services switched off fail waiting managers in the same way, even when authorized.
  grant();
  sim_->setServicesEnabled(false);
  Dispatch::drainMain();
  EXPECT_FALSE(LocationServices::locationServicesEnabled());
  EXPECT_EQ(updating.rec->errors.size(), 2u);
  sim_->deliverFix(fixAt(45.0, 7.0));
  Dispatch::drainMain();
  EXPECT_TRUE(updating.rec->updates.empty());
}

TEST_F(SimulatedLocation, RegionsAreSharedAppWideAndCrossingsGoToThePlacingManager) {
  grant();
  Client a, b;
  a.manager->startMonitoring({"home", {45.0, 7.0}, 100.0});
  b.manager->startMonitoring({"work", {45.0, 7.0}, 300.0});
  EXPECT_TRUE(sim_->isRunning()) << "monitored regions need positions";
  ASSERT_EQ(b.manager->monitoredRegions().size(), 2u);
  EXPECT_EQ(a.manager->monitoredRegions(), b.manager->monitoredRegions());

  // Inside both, then out of "home" (~222 m), then out of both (~556 m), then back in both.
  const std::vector<double> lats = {45.0, 45.002, 45.005, 45.0};
  for (std::size_t i = 0; i < lats.size(); ++i) sim_->deliverFix(fixAt(lats[i], 7.0, 10.0, static_cast<int>(i)));
  Dispatch::drainMain();
  EXPECT_EQ(a.rec->crossings, (std::vector<std::string>{"-home", "+home"}));
  EXPECT_EQ(b.rec->crossings, (std::vector<std::string>{"-work", "+work"}));
  EXPECT_TRUE(a.rec->allOnMain && b.rec->allOnMain);

  // Placing an identifier again moves it to the new placer; one without exit notices is silent on exit.
  b.manager->startMonitoring({"home", {45.0, 7.0}, 100.0, true, false});
  EXPECT_EQ(a.manager->monitoredRegions().size(), 2u);
  sim_->deliverFix(fixAt(45.002, 7.0, 10.0, 10));
  sim_->deliverFix(fixAt(45.0, 7.0, 10.0, 11));
  Dispatch::drainMain();
  EXPECT_EQ(a.rec->crossings.size(), 2u);
  EXPECT_EQ(b.rec->crossings, (std::vector<std::string>{"-work", "+work", "+home"}));

  // Any manager removes any region; the test provider's explicit crossings go to the placer too.
  a.manager->stopMonitoring("work");
  sim_->deliverRegionCrossing("home", false);
  sim_->deliverRegionCrossing("work", false);
  Dispatch::drainMain();
  EXPECT_EQ(b.manager->monitoredRegions().size(), 1u);
  EXPECT_EQ(b.rec->crossings.size(), 3u) << "exit notices are off for home; work is gone";
  b.manager->startMonitoring({"gate", {45.0, 7.0}, 50.0});
  sim_->deliverRegionCrossing("gate", false);
  Dispatch::drainMain();
  EXPECT_EQ(b.rec->crossings.back(), "-gate");

  // A region that cannot be watched is refused and not added.
  const std::vector<CircularRegion> invalid = {
      {"", {45.0, 7.0}, 100.0}, {"nan", {kNaN, 7.0}, 100.0}, {"zero", {45.0, 7.0}, 0.0}, {"far", {95.0, 7.0}, 100.0}};
  for (const auto& r : invalid) a.manager->startMonitoring(r);
  Dispatch::drainMain();
  EXPECT_EQ(a.rec->monitoringFailures, (std::vector<std::string>{"", "nan", "zero", "far"}));
  EXPECT_EQ(LocationServices::monitoredRegions().size(), 2u);
}

TEST_F(SimulatedLocation, VisitsAndFailuresReachOnlyManagersThatUseTheService) {
  grant();
  Client visits, updating, idle;
  visits.manager->startMonitoringVisits();
  updating.manager->startUpdatingLocation();
  updating.manager->requestLocation();

  const Visit visit{{45.0, 7.0}, 20.0, kStart, kStart + 10min};
  sim_->deliverVisit(visit);
  sim_->deliverFailure({LocationErrorCode::locationUnknown, "no satellites"});
  Dispatch::drainMain();

  EXPECT_EQ(visits.rec->visits, std::vector<Visit>{visit});
  EXPECT_TRUE(updating.rec->visits.empty());
  ASSERT_EQ(updating.rec->errors.size(), 1u);
  EXPECT_EQ(updating.rec->errors[0].localizedDescription(), "no satellites");
  EXPECT_FALSE(updating.manager->isRequestingLocation()) << "a failure ends the one-shot request";
  EXPECT_TRUE(updating.manager->isUpdatingLocation()) << "updates go on";
  EXPECT_EQ(visits.rec->errors.size(), 1u);
  EXPECT_TRUE(idle.rec->errors.empty());
}

// A host that lets go of its manager (and of the delegate) inside the
// manager's own callback: the rest of the delivery and later fixes find
// nothing to call, and the provider stops once nobody needs it.
TEST_F(SimulatedLocation, AManagerReleasedInsideItsOwnCallbackEndsCleanly) {
  grant();
  struct Releasing : LocationManagerDelegate {
    std::shared_ptr<LocationManager> manager;
    std::shared_ptr<LocationManagerDelegate> self;
    int updates = 0;
    void didUpdateLocations(LocationManager& m, const std::vector<Location>&) override {
      ++updates;
      m.stopUpdatingLocation();
      manager.reset();
      self.reset();  // the last owner of this delegate, apart from the call itself
    }
  };
  auto delegate = std::make_shared<Releasing>();
  std::weak_ptr<Releasing> weak = delegate;
  delegate->manager = LocationManager::create();
  delegate->manager->setDelegate(delegate);
  delegate->manager->startUpdatingLocation();
  delegate->self = delegate;
  Client other;
  other.manager->startUpdatingLocation();
  sim_->deliverFixes({fixAt(45.0, 7.0, 10.0, 1), fixAt(45.01, 7.0, 10.0, 2)});
  delegate.reset();
  Dispatch::drainMain();
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(other.rec->updates.size(), 1u);
  sim_->deliverFix(fixAt(45.02, 7.0, 10.0, 3));
  Dispatch::drainMain();
  EXPECT_EQ(other.rec->updates.size(), 2u);
  other.manager->stopUpdatingLocation();
  Dispatch::drainMain();
  EXPECT_FALSE(sim_->isRunning());
}

TEST_F(SimulatedLocation, DeliveriesToAGoneDelegateOrManagerAreDropped) {
  grant();
  Client c;
  c.manager->startUpdatingLocation();
  sim_->deliverFix(fixAt(45.0, 7.0));
  c.rec.reset();  // the delegate goes away with a delivery queued
  Dispatch::drainMain();

  auto rec = std::make_shared<Recorder>();
  c.manager->setDelegate(rec);
  c.manager->startMonitoring({"r", {45.0, 7.0}, 100.0});
  sim_->deliverFix(fixAt(45.001, 7.0));
  c.manager.reset();  // the manager goes away; its region stays app-wide
  Dispatch::drainMain();
  EXPECT_TRUE(rec->updates.empty());
  EXPECT_EQ(LocationServices::monitoredRegions().size(), 1u);
  sim_->deliverFix(fixAt(45.01, 7.0));
  Dispatch::drainMain();
  EXPECT_TRUE(rec->crossings.empty());
}

// A crossing is worked out as a fix comes in and delivered after the managers'
// updates for that fix; an update that moves or removes the region (as the
// tracking modes do) leaves nothing for the crossing to report.
TEST_F(SimulatedLocation, ACrossingReachesItsManagerOnlyWhileItsRegionIsStillMonitored) {
  enum class Act { keep, move, remove };
  struct Follower : Recorder {
    Act act = Act::keep;
    void didUpdateLocations(LocationManager& m, const std::vector<Location>& l) override {
      Recorder::didUpdateLocations(m, l);
      if (updates.size() < 2) return;  // acts on the update of the fix that leaves
      if (act == Act::move) m.startMonitoring({"fence", l.back().coordinate, 100.0});
      if (act == Act::remove) m.stopMonitoring("fence");
    }
  };
  grant();
  const struct {
    const char* name;
    Act act;
    std::vector<std::string> crossings;
  } cases[] = {{"kept", Act::keep, {"-fence"}}, {"moved", Act::move, {}}, {"removed", Act::remove, {}}};
  int second = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto manager = LocationManager::create();
    auto rec = std::make_shared<Follower>();
    rec->act = c.act;
    manager->setDelegate(rec);
    manager->startUpdatingLocation();
    sim_->deliverFix(fixAt(45.0, 7.0, 10.0, ++second));
    Dispatch::drainMain();
    manager->startMonitoring({"fence", {45.0, 7.0}, 100.0});  // placed around that fix
    sim_->deliverFix(fixAt(45.003, 7.0, 10.0, ++second));     // ~333 m out
    Dispatch::drainMain();
    EXPECT_EQ(rec->updates.size(), 2u);
    EXPECT_EQ(rec->crossings, c.crossings);
    manager->stopMonitoring("fence");
    manager->stopUpdatingLocation();
  }
}
