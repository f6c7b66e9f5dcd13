// The gpsd provider against a real gpsd, fed a recorded NMEA route by gpsfake
// on a free loopback port.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Clock.h"
#include "platform/Dispatch.h"
#include "platform/GpsdLocationProvider.h"
#include "platform/LocationManager.h"
#include "platform/LocationServices.h"
#include "platform/NotificationCenter.h"
#include "support/GpsFake.h"
#include "support/HttpTestServer.h"
#include "support/TestEnvironment.h"

using namespace pelk::platform;
using pelk::test::GpsFake;
using pelk::test::NmeaFix;
using namespace std::chrono_literals;

namespace {

const std::vector<Coordinate> kRoute = {{45.1234, 7.4321}, {45.1243, 7.4321}, {45.1252, 7.4322},
                                        {45.1261, 7.4323}, {45.1270, 7.4324}, {45.1279, 7.4325},
                                        {45.1288, 7.4326}, {45.1297, 7.4327}, {45.1306, 7.4328}};

struct Recorder : LocationManagerDelegate {
  std::vector<Location> fixes;
  std::vector<LocationError> errors;
  std::vector<AuthorizationStatus> authorizations;
  std::vector<Visit> visits;
  bool allOnMain = true;
  void didUpdateLocations(LocationManager&, const std::vector<Location>& l) override {
    allOnMain = allOnMain && Dispatch::isMainThread();
    fixes.insert(fixes.end(), l.begin(), l.end());
  }
  void didFailWithError(LocationManager&, const LocationError& e) override { errors.push_back(e); }
  void didChangeAuthorization(LocationManager&, AuthorizationStatus s) override { authorizations.push_back(s); }
  void didVisit(LocationManager&, const Visit& v) override { visits.push_back(v); }
};

class GpsdProvider : public ::testing::Test {
 protected:
  void SetUp() override {
    if (needsGpsfake_ && !GpsFake::installed()) GTEST_SKIP() << "gpsfake is not installed";
    Dispatch::useManualMainQueue();
    LocationServices::useSimulatedProvider();  // a fresh world: nothing authorized, no regions
    port_ = pelk::test::HttpTestServer::unusedPort();
    ASSERT_GT(port_, 0);
    provider_ = std::make_shared<GpsdLocationProvider>(GpsdConfig{"127.0.0.1", std::to_string(port_), 50ms, 400ms});
    LocationServices::useProvider(provider_);
    manager_->setDelegate(rec_);
  }
  void TearDown() override {
    manager_->stopUpdatingLocation();  // stops the provider's thread
    manager_->stopMonitoringVisits();
    Dispatch::drainMain();
    Dispatch::useThreadedMainQueue();
    Clock::useSystem();
  }

  // A provider of this configuration in place of the fixture's.
  void useConfig(GpsdConfig config) {
    provider_ = std::make_shared<GpsdLocationProvider>(std::move(config));
    LocationServices::useProvider(provider_);
  }
  GpsdConfig config() const { return GpsdConfig{"127.0.0.1", std::to_string(port_), 50ms, 400ms}; }

  // Drives the manual main queue until `done` holds or the limit passes.
  template <class F>
  bool waitFor(F done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
      Dispatch::drainMain();
      if (done()) return true;
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(10ms);
    }
  }

  bool needsGpsfake_ = true;
  int port_ = -1;
  std::shared_ptr<GpsdLocationProvider> provider_;
  std::shared_ptr<LocationManager> manager_ = LocationManager::create();
  std::shared_ptr<Recorder> rec_ = std::make_shared<Recorder>();
};

bool onRoute(const Location& fix) {
  for (const auto& c : kRoute) {
    if (std::abs(fix.coordinate.latitude - c.latitude) < 1e-6 &&
        std::abs(fix.coordinate.longitude - c.longitude) < 1e-6)
      return true;
  }
  return false;
}

}  // namespace

TEST_F(GpsdProvider, FixesOfARecordedRouteReachTheDelegateAndReportsWithoutAFixDoNot) {
  GpsFake fake(port_, true);
  ASSERT_TRUE(fake.started());

  // No system prompt on Linux: the request is granted at the level asked for.
  manager_->requestAlwaysAuthorization();
  EXPECT_EQ(LocationServices::authorizationStatus(), AuthorizationStatus::authorizedAlways);
  manager_->startUpdatingLocation();

  // The route is played once: wait for its last fix.
  auto reachedEnd = [&] { return !rec_->fixes.empty() && rec_->fixes.back().coordinate == kRoute.back(); };
  ASSERT_TRUE(waitFor([&] { return reachedEnd() && provider_->reportsWithoutFix() >= 1; }, 20'000ms))
      << "fixes " << rec_->fixes.size() << ", reports without fix " << provider_->reportsWithoutFix()
      << ", connections " << provider_->connections();
  EXPECT_EQ(rec_->authorizations, std::vector<AuthorizationStatus>{AuthorizationStatus::authorizedAlways});
  EXPECT_TRUE(rec_->allOnMain);
  EXPECT_GE(rec_->fixes.size(), 4u);
  for (const auto& fix : rec_->fixes) {
    SCOPED_TRACE(std::to_string(fix.coordinate.latitude) + "," + std::to_string(fix.coordinate.longitude));
    EXPECT_TRUE(onRoute(fix));
    EXPECT_TRUE(std::isfinite(fix.horizontalAccuracy));
    EXPECT_GT(fix.horizontalAccuracy, 0.0) << "gpsd's error estimate is the accuracy";
  }
  // A full report carries gpsd's time, speed, course, altitude and their errors.
  const Location& last = rec_->fixes.back();
  EXPECT_EQ(Clock::secondsSince1970(last.timestamp), 1773576019.0);  // 2026-03-15 12:00:19 UTC
  EXPECT_NEAR(last.speed, 3.9 * 1852.0 / 3600.0, 0.01);              // 3.9 knots
  EXPECT_NEAR(last.course, 5.0, 1e-6);
  EXPECT_NEAR(last.altitude, 240.0, 1e-6);
  EXPECT_GT(last.verticalAccuracy, 0.0);
  EXPECT_EQ(LocationServices::lastLocation(), last);
  // gpsd was not listening yet when the provider first tried: that is a failure too.
  for (const auto& e : rec_->errors) EXPECT_EQ(e.code, LocationErrorCode::serviceUnavailable);
}

TEST_F(GpsdProvider, AGpsdThatGoesAwayIsOneFailureAndIsReconnectedWhenItReturns) {
  LocationServices::setAuthorizationStatus(AuthorizationStatus::authorizedAlways);
  auto fake = std::make_unique<GpsFake>(port_, false);  // the route over and over
  ASSERT_TRUE(fake->started());
  manager_->startUpdatingLocation();
  ASSERT_TRUE(waitFor([&] { return !rec_->fixes.empty(); }, 20'000ms));
  // (gpsd may not have been listening at the first try: that failure came before any fix.)
  const auto errorsBefore = rec_->errors.size();
  const auto lossesBefore = provider_->lossesReported();

  fake.reset();  // gpsd goes away
  ASSERT_TRUE(waitFor([&] { return rec_->errors.size() > errorsBefore; }, 10'000ms));
  EXPECT_EQ(rec_->errors.back().code, LocationErrorCode::serviceUnavailable);
  // Several failed reconnections later it is still one failure, not one per try.
  const auto attempts = provider_->connectAttempts();
  ASSERT_TRUE(waitFor([&] { return provider_->connectAttempts() >= attempts + 3; }, 10'000ms));
  EXPECT_EQ(rec_->errors.size(), errorsBefore + 1);
  EXPECT_EQ(provider_->lossesReported(), lossesBefore + 1);

  const auto fixesBefore = rec_->fixes.size();
  fake = std::make_unique<GpsFake>(port_, false);  // gpsd is back on the same port
  ASSERT_TRUE(waitFor([&] { return rec_->fixes.size() > fixesBefore; }, 20'000ms))
      << "connections " << provider_->connections() << ", attempts " << provider_->connectAttempts();
  EXPECT_GE(provider_->connections(), 2u);
  EXPECT_EQ(rec_->errors.size(), errorsBefore + 1);
  for (const auto& fix : rec_->fixes) EXPECT_TRUE(onRoute(fix));
}

// The host names its gpsd in the environment; what is not a usable port never
// reaches libgps, and an unset or empty variable keeps the default.
TEST(GpsdConfigFromEnvironment, TakesUsableValuesAndKeepsTheDefaultsOtherwise) {
  struct Case {
    const char* host;  // nullptr: unset
    const char* port;
    std::string wantHost;
    std::string wantPort;
  };
  const std::vector<Case> cases = {
      {nullptr, nullptr, "localhost", "2947"},
      {"127.0.0.1", "40123", "127.0.0.1", "40123"},
      {"", "", "localhost", "2947"},
      {"::1", "1", "::1", "1"},
      {nullptr, "65535", "localhost", "65535"},
      {nullptr, "0", "localhost", "2947"},
      {nullptr, "65536", "localhost", "2947"},
      {nullptr, "-1", "localhost", "2947"},
      {nullptr, "12ab", "localhost", "2947"},
      {nullptr, " 2948", "localhost", "2947"},
      {nullptr, "99999999999999999999", "localhost", "2947"},
      {nullptr, "gpsd", "localhost", "2947"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.host ? c.host : "(unset)") + " " + (c.port ? c.port : "(unset)"));
    if (c.host) ::setenv("PELK_GPSD_HOST", c.host, 1);
    else ::unsetenv("PELK_GPSD_HOST");
    if (c.port) ::setenv("PELK_GPSD_PORT", c.port, 1);
    else ::unsetenv("PELK_GPSD_PORT");
    const GpsdConfig config = GpsdConfig::fromEnvironment();
    EXPECT_EQ(config.host, c.wantHost);
    EXPECT_EQ(config.port, c.wantPort);
  }
  ::unsetenv("PELK_GPSD_HOST");
  ::unsetenv("PELK_GPSD_PORT");
}

namespace {

// A loopback port whose accept queue is full: a connect to it waits for an
// answer that never comes (the kernel drops the SYN), the way a remote host
// behind a dropping firewall holds a connect.
class SilentPort {
 public:
  SilentPort() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener_, 0) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      return;
    port_ = ntohs(a.sin_port);
    filler_ = ::socket(AF_INET, SOCK_STREAM, 0);  // takes the one place in the queue
    if (::connect(filler_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) port_ = -1;
  }
  ~SilentPort() { close(); }
  // Later connects are refused (and the waiting one fails at its next try).
  void close() {
    if (filler_ >= 0) ::close(filler_);
    if (listener_ >= 0) ::close(listener_);
    filler_ = listener_ = -1;
  }
  int port() const { return port_; }

 private:
  int listener_ = -1;
  int filler_ = -1;
  int port_ = -1;
};

}  // namespace

// The reader may sit in a connect that will not end soon; a stop from the main
// queue must not wait for it.
TEST_F(GpsdProvider, AStopFromTheMainQueueNeverWaitsForTheReader) {
  SilentPort silent;
  ASSERT_GT(silent.port(), 0);
  auto config = this->config();
  config.port = std::to_string(silent.port());
  useConfig(config);
  LocationServices::setAuthorizationStatus(AuthorizationStatus::authorizedAlways);
  manager_->startUpdatingLocation();
  ASSERT_TRUE(waitFor([&] { return provider_->connectAttempts() >= 1; }, 5'000ms));
  std::this_thread::sleep_for(100ms);  // well inside the connect by now
  ASSERT_EQ(provider_->connections(), 0u) << "the connect was answered: the port does not hold it";

  std::atomic<bool> stopped{false};
  std::thread mainQueue([&] {
    manager_->stopUpdatingLocation();
    Dispatch::drainMain();  // the provider's stop runs here
    stopped = true;
  });
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!stopped && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(stopped) << "the main queue waited for a connect in progress";
  silent.close();  // lets the connect fail, so the reader can end (the provider joins it when dropped)
  mainQueue.join();
}

// The host names another daemon while the reader sits in a connect to the
// first one (a host that drops packets, the very reason to name another): the
// call must not wait for that connect to end.
TEST_F(GpsdProvider, NamingAnotherDaemonNeverWaitsForAConnectToTheFirst) {
  SilentPort silent;
  ASSERT_GT(silent.port(), 0);
  auto first = this->config();
  first.port = std::to_string(silent.port());
  LocationServices::useGpsdProvider(first);  // the kit's own: nobody else holds it
  provider_.reset();
  LocationServices::setAuthorizationStatus(AuthorizationStatus::authorizedAlways);
  manager_->startUpdatingLocation();
  std::this_thread::sleep_for(300ms);  // the reader is inside its connect by now

  std::atomic<bool> switched{false};
  std::thread host([&] {
    LocationServices::useGpsdProvider(this->config());
    switched = true;
  });
  EXPECT_TRUE(waitFor([&] { return switched.load(); }, 3'000ms)) << "the switch waited for the old connect";
  silent.close();  // lets the old connect fail, so its reader ends
  host.join();
  // The old reader's failed connect is no news of the daemon in use.
  std::this_thread::sleep_for(3s);  // the connect's next try after the close
  Dispatch::drainMain();
  for (const auto& e : rec_->errors) EXPECT_EQ(e.message.find(":" + first.port + " "), std::string::npos) << e.message;
}

// A receiver that stays within the radius for the dwell time is a visit: its
// arrival, then its departure when the fixes leave.  The default rules: 50 m
// for three minutes, played fast.
TEST_F(GpsdProvider, VisitsAreFoundInTheFixesOfAReceiverThatStays) {
  pelk::test::TempDir dir;
  const auto t0 = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now()) - 1h;
  std::vector<NmeaFix> log;
  // Parked for 300 s, wandering a few metres, then off to the north.
  for (int i = 0; i <= 300; ++i) log.push_back(GpsFake::offset(45.0, 7.0, (i % 3) * 3.0, (i % 2) * 2.0, t0 + i * 1s));
  for (int i = 1; i <= 4; ++i) log.push_back(GpsFake::offset(45.0, 7.0, 80.0 * i, 0.0, t0 + (300 + i) * 1s));
  GpsFake fake(port_, true, "0.01", GpsFake::writeLog(dir.file("stay.nmea"), log));
  ASSERT_TRUE(fake.started());
  manager_->requestAlwaysAuthorization();
  manager_->startMonitoringVisits();  // visits alone keep the provider running

  ASSERT_TRUE(waitFor([&] { return rec_->visits.size() >= 2; }, 30'000ms))
      << "visits " << rec_->visits.size() << ", fixes read " << provider_->fixesReported();
  const Visit& arrival = rec_->visits[0];
  const Visit& departure = rec_->visits[1];
  // gpsd takes the first sentences to recognise the receiver (and gpsfake
  // plays on before the provider is connected): the stay begins some fixes in.
  EXPECT_GE(arrival.arrivalDate, t0);
  EXPECT_LE(arrival.arrivalDate, t0 + 120s);
  EXPECT_EQ(arrival.departureDate, TimePoint::max()) << "still there";
  EXPECT_LT(greatCircleDistance(arrival.coordinate, {45.0, 7.0}), 10.0);
  EXPECT_GT(arrival.horizontalAccuracy, 0.0);
  EXPECT_EQ(departure.arrivalDate, arrival.arrivalDate);
  EXPECT_EQ(departure.departureDate, t0 + 300s) << "the last fix within the radius";
  Dispatch::drainMain();
  EXPECT_EQ(rec_->visits.size(), 2u);
}

// A daemon that answers without a fix for the bound makes the service
// unavailable; the next fix makes it available again.  Each change is told once.
TEST_F(GpsdProvider, ADaemonWithoutAFixMakesTheServiceUnavailableUntilAFixComes) {
  pelk::test::TempDir dir;
  const auto t0 = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
  std::vector<NmeaFix> log;
  for (int i = 0; i < 20; ++i) log.push_back({0, 0, t0 + i * 1s, false});
  for (int i = 20; i < 30; ++i) log.push_back(GpsFake::offset(45.0, 7.0, i, 0.0, t0 + i * 1s));
  auto config = this->config();
  config.noFixTimeout = 1s;
  config.lossGrace = 1min;  // gpsfake ending after its one play is not what this test is about
  useConfig(config);
  std::vector<ServiceAvailability> changes;
  auto& center = NotificationCenter::defaultCenter();
  const auto observer =
      center.addObserver(LocationServices::availabilityChangedNotification, nullptr, [&](const Notification& n) {
        EXPECT_TRUE(Dispatch::isMainThread());
        changes.push_back(std::any_cast<ServiceAvailability>(n.userInfo));
      });
  GpsFake fake(port_, true, "0.05", GpsFake::writeLog(dir.file("nofix.nmea"), log));
  ASSERT_TRUE(fake.started());
  LocationServices::setAuthorizationStatus(AuthorizationStatus::authorizedAlways);
  manager_->startUpdatingLocation();

  const bool seen = waitFor([&] { return changes.size() >= 2; }, 20'000ms);
  center.removeObserver(observer);
  ASSERT_TRUE(seen) << "changes " << changes.size() << ", reports without fix " << provider_->reportsWithoutFix();
  EXPECT_FALSE(changes[0].available);
  EXPECT_NE(changes[0].reason.find("no fix"), std::string::npos) << changes[0].reason;
  EXPECT_TRUE(changes[1].available);
  EXPECT_TRUE(LocationServices::serviceAvailable());
  EXPECT_EQ(changes.size(), 2u);
  EXPECT_FALSE(rec_->fixes.empty());
}

namespace {
// A loopback "daemon" that greets each connection with `greeting` and hangs up.
class GreetAndHangUp {
 public:
  explicit GreetAndHangUp(std::string greeting) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener_, 8) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      return;
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this, greeting = std::move(greeting)] {
      for (;;) {
        const int c = ::accept(listener_, nullptr, nullptr);
        if (c < 0) return;
        ++accepts_;
        (void)!::send(c, greeting.data(), greeting.size(), MSG_NOSIGNAL);
        std::this_thread::sleep_for(20ms);  // the watch request arrives
        ::close(c);
      }
    });
  }
  ~GreetAndHangUp() {
    ::shutdown(listener_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
  }
  int port() const { return port_; }
  int accepts() const { return accepts_.load(); }

 private:
  int listener_ = -1;
  int port_ = -1;
  std::atomic<int> accepts_{0};
  std::thread thread_;
};
}  // namespace

// A daemon that answers every connection and hangs up before any fix gives
// no positions however often the reader reconnects: the bound for a fix runs
// across the connections, and the service is unavailable once it passed.
TEST_F(GpsdProvider, ADaemonThatHangsUpAfterEachGreetingMakesTheServiceUnavailable) {
  GreetAndHangUp daemon("{\"class\":\"VERSION\",\"release\":\"3.22\",\"proto_major\":3,\"proto_minor\":14}\n");
  ASSERT_GT(daemon.port(), 0);
  auto config = this->config();
  config.port = std::to_string(daemon.port());
  config.noFixTimeout = 1s;
  useConfig(config);
  std::vector<ServiceAvailability> changes;
  auto& center = NotificationCenter::defaultCenter();
  const auto observer = center.addObserver(
      LocationServices::availabilityChangedNotification, nullptr,
      [&](const Notification& n) { changes.push_back(std::any_cast<ServiceAvailability>(n.userInfo)); });
  LocationServices::setAuthorizationStatus(AuthorizationStatus::authorizedAlways);
  manager_->startUpdatingLocation();
  const bool unavailable = waitFor([&] { return !changes.empty(); }, 5'000ms);
  center.removeObserver(observer);
  EXPECT_GE(daemon.accepts(), 2) << "the daemon was not reconnected to";
  ASSERT_TRUE(unavailable) << "no fix in " << daemon.accepts() << " connections, and the service still available";
  EXPECT_FALSE(changes.front().available);
  EXPECT_NE(changes.front().reason.find("no fix"), std::string::npos) << changes.front().reason;
}

namespace {

// A daemon stand-in on a loopback port that resets every connection (RST, as
// a daemon that dies with unread input does): at once, or after reading the
// watch request.
class ResettingDaemon {
 public:
  explicit ResettingDaemon(bool readFirst) : readFirst_(readFirst) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      return;
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~ResettingDaemon() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) ::close(listener_);
  }
  int port() const { return port_; }
  int resets() const { return resets_.load(); }

 private:
  void serve() {
    while (!stop_) {
      pollfd p{listener_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const int c = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      if (readFirst_) {
        pollfd q{c, POLLIN, 0};
        char request[512];
        if (::poll(&q, 1, 2000) > 0) (void)!::read(c, request, sizeof request);
      }
      const linger reset{1, 0};
      ::setsockopt(c, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      ::close(c);
      ++resets_;
    }
  }

  const bool readFirst_;
  int listener_ = -1;
  int port_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<int> resets_{0};
  std::thread thread_;
};

// SIGPIPE at its default (death) for the test's span, as in a host that never
// touched it; the disposition found is put back.
class DefaultSigpipe {
 public:
  DefaultSigpipe() {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    ::sigemptyset(&dfl.sa_mask);
    ::sigaction(SIGPIPE, &dfl, &saved_);
  }
  ~DefaultSigpipe() { ::sigaction(SIGPIPE, &saved_, nullptr); }
  static bool isDefault() {
    struct sigaction now {};
    ::sigaction(SIGPIPE, nullptr, &now);
    return now.sa_handler == SIG_DFL;
  }

 private:
  struct sigaction saved_ {};
};

class GpsdStandIn : public GpsdProvider {
 protected:
  GpsdStandIn() { needsGpsfake_ = false; }
};

}  // namespace

// A daemon that drops the connection while the reader writes to it (gpsd
// killed, restarting, or at its client limit) is a loss like any other: the
// host, whose SIGPIPE is left at its default, is not killed by the reader's
// write, and its own disposition and signal mask are as it set them.
TEST_F(GpsdStandIn, ADaemonResettingTheConnectionNeverKillsTheHost) {
  DefaultSigpipe sigpipe;
  for (const bool readFirst : {false, true}) {
    SCOPED_TRACE(readFirst ? "reset after the watch request" : "reset at once");
    ResettingDaemon daemon(readFirst);
    ASSERT_GT(daemon.port(), 0);
    auto config = this->config();
    config.port = std::to_string(daemon.port());
    useConfig(config);
    rec_->errors.clear();
    LocationServices::setAuthorizationStatus(AuthorizationStatus::authorizedAlways);
    manager_->startUpdatingLocation();
    ASSERT_TRUE(waitFor([&] { return provider_->connections() >= 4 && daemon.resets() >= 4; }, 10'000ms))
        << "connections " << provider_->connections() << ", resets " << daemon.resets();
    ASSERT_FALSE(rec_->errors.empty());
    EXPECT_EQ(rec_->errors.front().code, LocationErrorCode::serviceUnavailable);
    manager_->stopUpdatingLocation();
    Dispatch::drainMain();
    provider_->join();
  }
  EXPECT_TRUE(DefaultSigpipe::isDefault()) << "the kit changed the host's SIGPIPE disposition";
  sigset_t mask;
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, nullptr, &mask), 0);
  EXPECT_EQ(::sigismember(&mask, SIGPIPE), 0) << "the kit blocked SIGPIPE in the host's thread";
}

// gpsd gives a fix's time only once it knows the date, and the first reports
// of a connection often lack it.  Every fix of one receiver is on the
// receiver's clock all the same: the route's fixes are dated weeks before the
// host's clock here, and none of them may carry the host's time (a first
// position hours or weeks off the next one makes its speed meaningless).  A
// receiver that never gives a date (GGA sentences only) still has its fixes
// passed on, with the host's time.
TEST_F(GpsdProvider, FixesKeepToTheReceiversClockAndAReceiverWithoutDatesStillHasItsFixesPassedOn) {
  using std::chrono::sys_days;
  using namespace std::chrono;
  const auto first = sys_days{2026y / November / 21} + 9h + 12min + 4s;  // the drive's first fix
  const auto last = sys_days{2026y / November / 21} + 9h + 15min + 49s;
  pelk::test::TempDir dir;
  const std::string noDates = dir.file("no-dates.nmea");
  {
    std::ifstream in(GpsFake::demoRouteFile());
    std::ofstream out(noDates);
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("$GPRMC", 0) != 0) out << line << "\n";
    }
  }
  LocationServices::setAuthorizationStatus(AuthorizationStatus::authorizedAlways);
  for (const bool dated : {true, false}) {
    SCOPED_TRACE(dated ? "the recorded drive" : "the drive without dates");
    useConfig(config());  // a receiver the provider has not heard yet
    rec_->fixes.clear();
    GpsFake fake(port_, true, "0.01", dated ? GpsFake::demoRouteFile() : noDates);
    ASSERT_TRUE(fake.started());
    // gpsd opens the receiver for its first watcher, in the middle of the
    // sentences played so far, as when a host starts tracking on a running gpsd.
    std::this_thread::sleep_for(500ms);
    manager_->startUpdatingLocation();
    ASSERT_TRUE(waitFor([&] { return rec_->fixes.size() >= 40; }, 30'000ms))
        << "fixes " << rec_->fixes.size() << ", held back " << provider_->fixesWithoutTimeHeldBack();
    const auto now = Clock::now();
    for (std::size_t i = 0; i < rec_->fixes.size(); ++i) {
      const auto t = rec_->fixes[i].timestamp;
      if (dated) {
        EXPECT_GE(t, first) << "fix " << i << " at " << Clock::secondsSince1970(t);
        EXPECT_LE(t, last) << "fix " << i << " at " << Clock::secondsSince1970(t);
      } else {
        EXPECT_LE(std::chrono::abs(t - now), 60s) << "fix " << i << " at " << Clock::secondsSince1970(t);
      }
      if (i > 0) {
        EXPECT_LE(rec_->fixes[i - 1].timestamp, t) << "fix " << i;
      }
    }
    manager_->stopUpdatingLocation();
    Dispatch::drainMain();
    provider_->join();
  }
}

// The daemon at the provider's address may come back as another one (gpsd
// restarted with another receiver, a replay started afresh), whose clock has
// nothing to do with the last one's.  A fix of the new connection that comes
// before the new receiver's time is not stamped from the old receiver's
// clock: the positions after the reconnection all keep to the new clock.
TEST_F(GpsdProvider, AFixAfterReconnectingIsNotStampedFromTheLastDaemonsClock) {
  using namespace std::chrono;
  LocationServices::setAuthorizationStatus(AuthorizationStatus::authorizedAlways);
  pelk::test::TempDir dir;
  const auto start = sys_days{2020y / January / 1} + 8h;
  std::vector<NmeaFix> later;
  for (int i = 0; i < 40; ++i) later.push_back({45.1234 + i * 0.0009, 7.4321, start + std::chrono::seconds(i)});
  const std::string otherLog = GpsFake::writeLog(dir.file("other-receiver.nmea"), later);

  manager_->startUpdatingLocation();
  std::size_t before = 0;
  {
    GpsFake first(port_, false);  // the route of 2026-03-15, looping
    ASSERT_TRUE(first.started());
    ASSERT_TRUE(waitFor([&] { return rec_->fixes.size() >= 5; }, 20'000ms));
    first.stop();
    std::this_thread::sleep_for(300ms);
    Dispatch::drainMain();
    before = rec_->fixes.size();
  }
  GpsFake second(port_, true, "0.1", otherLog);
  ASSERT_TRUE(second.started());
  ASSERT_TRUE(waitFor([&] { return rec_->fixes.size() >= before + 8; }, 30'000ms))
      << "fixes " << rec_->fixes.size() - before << ", held back " << provider_->fixesWithoutTimeHeldBack();
  for (std::size_t i = before; i < rec_->fixes.size(); ++i) {
    const auto t = rec_->fixes[i].timestamp;
    EXPECT_GE(t, start) << "fix " << i << " at " << Clock::secondsSince1970(t);
    EXPECT_LE(t, start + 40s) << "fix " << i << " at " << Clock::secondsSince1970(t);
  }
}

// gpsd sends other reports between the positions (here a sky view after
// each position); libgps leaves the last position in place while it parses
// them.  Each position of the receiver reaches the delegate once: no other
// report hands the last one on again.
TEST_F(GpsdProvider, EachPositionOfTheReceiverIsPassedOnOnce) {
  const std::string body = "GPGSV,1,1,04,04,45,120,40,05,30,200,38,09,60,300,42,12,20,050,35";
  int sum = 0;
  for (const char c : body) sum ^= static_cast<unsigned char>(c);
  char check[8];
  std::snprintf(check, sizeof check, "*%02X", sum);
  pelk::test::TempDir dir;
  const std::string log = dir.file("with-sky.nmea");
  {
    std::ifstream in(GpsFake::routeFile());
    std::ofstream out(log);
    for (std::string line; std::getline(in, line);) {
      out << line << "\n";
      if (line.rfind("$GPGSA", 0) == 0) out << "$" << body << check << "\n";
    }
  }
  GpsFake fake(port_, true, "0.1", log);
  ASSERT_TRUE(fake.started());
  LocationServices::setAuthorizationStatus(AuthorizationStatus::authorizedAlways);
  manager_->startUpdatingLocation();
  auto reachedEnd = [&] { return !rec_->fixes.empty() && rec_->fixes.back().coordinate == kRoute.back(); };
  ASSERT_TRUE(waitFor(reachedEnd, 20'000ms)) << "fixes " << rec_->fixes.size();
  ASSERT_GE(rec_->fixes.size(), 4u);
  // Until gpsd has learnt which sentence ends the receiver's cycle it reports
  // the first fix after each sentence; from then on, one report a fix.
  const auto first = rec_->fixes.front().timestamp;
  for (std::size_t i = 1; i < rec_->fixes.size(); ++i) {
    if (rec_->fixes[i].timestamp == first) continue;
    EXPECT_LT(rec_->fixes[i - 1].timestamp, rec_->fixes[i].timestamp)
        << "fix " << i << " at " << Clock::secondsSince1970(rec_->fixes[i].timestamp);
  }
}

// A report may carry a time the kit's clock cannot hold (a receiver's date
// centuries off).  It is taken as a report without the receiver's time: the
// fix keeps to the clock the receiver gave before, never to a time wrapped
// round to another century.
TEST_F(GpsdStandIn, AFixTimeBeyondTheClocksRangeIsTakenAsNoTime) {
  using namespace std::chrono;
  const auto first = sys_days{2026y / November / 21} + 9h + 15min + 49s;
  const std::string tpv = R"({"class":"TPV","device":"/dev/pts/1","mode":2,"lat":45.0,"lon":7.0,"eph":5.0,"time":")";
  GreetAndHangUp daemon(R"({"class":"VERSION","release":"3.22","proto_major":3,"proto_minor":14})"
                        "\r\n" +
                        tpv + "2026-11-21T09:15:49.000Z\"}\r\n" + tpv + "2500-01-01T00:00:00.000Z\"}\r\n");
  ASSERT_GT(daemon.port(), 0);
  auto config = this->config();
  config.port = std::to_string(daemon.port());
  useConfig(config);
  LocationServices::setAuthorizationStatus(AuthorizationStatus::authorizedAlways);
  manager_->startUpdatingLocation();
  ASSERT_TRUE(waitFor([&] { return rec_->fixes.size() >= 2; }, 10'000ms)) << "fixes " << rec_->fixes.size();
  for (const auto& fix : rec_->fixes) {
    EXPECT_GE(fix.timestamp, first) << Clock::secondsSince1970(fix.timestamp);
    EXPECT_LE(fix.timestamp, first + 1h) << Clock::secondsSince1970(fix.timestamp);
  }
}

// Two readers of one process at once (a provider replaced while its last
// reader still reads, or two providers) read their reports side by side
// without sharing anything: libgps keeps a text of each report's flags in one
// buffer of its own, and the readers never write it together (the thread
// sanitizer sees to that).
TEST_F(GpsdStandIn, TwoReadersOfTheProcessReadSideBySide) {
  std::string reports = R"({"class":"VERSION","release":"3.22","proto_major":3,"proto_minor":14})"
                        "\r\n";
  for (int i = 0; i < 3000; ++i) reports += "{\"class\":\"TPV\",\"device\":\"/dev/pts/1\",\"mode\":1}\r\n";
  // A daemon each, so that both readers have reports to read at once.
  GreetAndHangUp daemons[] = {GreetAndHangUp(reports), GreetAndHangUp(reports)};
  // Rounds of fresh readers: the sanitizer sees two readers' turns only when
  // they come close together.
  for (int round = 0; round < 6; ++round) {
    std::vector<std::unique_ptr<GpsdLocationProvider>> readers;
    for (auto& daemon : daemons) {
      ASSERT_GT(daemon.port(), 0);
      auto config = this->config();
      config.port = std::to_string(daemon.port());
      readers.push_back(std::make_unique<GpsdLocationProvider>(config));
    }
    for (auto& reader : readers) reader->start();
    const auto end = std::chrono::steady_clock::now() + 10s;
    auto done = [&] {
      return std::all_of(readers.begin(), readers.end(), [](auto& r) { return r->reportsWithoutFix() >= 3000; });
    };
    while (!done() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(10ms);
    for (auto& reader : readers) reader->join();
    ASSERT_TRUE(done()) << "round " << round;
  }
}
