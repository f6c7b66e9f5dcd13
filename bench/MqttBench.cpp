// The cost of a position's road to the broker, each figure beside its baseline
// (the Paho C client used directly, same broker, transport, QoS and topic
// shape) in the same process, on disk and on tmpfs; and the peak memory of a
// host tracking at 1 Hz with MQTT up beside a bare gpsd + Paho host; and how
// soon the kit is connected again after the broker comes back, beside Paho's
// own automatic reconnection.  Prints one table: medians of the repetitions
// (of the outages) and the ratio kit / bare.
//   pelk_bench_mqtt [google benchmark flags]
// Everything it talks to runs on loopback and is started here: a mosquitto
// broker, the REST stand-in, gpsd fed by gpsfake; each is stopped by its id.
// PELK_BENCH_DISK and PELK_BENCH_TMPFS choose the parent folders (default
// /var/tmp and /dev/shm); PELK_BENCH_HOST_SECONDS the tracking time (25);
// PELK_BENCH_OUTAGES the broker's outages in seconds, comma-separated
// (5,10,15,30,45).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include "BarePaho.h"
#include "BareSqlite.h"
#include "BenchSupport.h"
#include "KitSetup.h"
#include "device/AppUtili.h"
#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"
#include "foundation/TokenManager.h"
#include "messaging/LocationSending.h"
#include "messaging/LocationUtils.h"
#include "messaging/MQTTManager.h"
#include "messaging/MQTTUtilis.h"
#include "pelk/Pelk.h"
#include "network/Reachability.h"
#include "platform/Clock.h"
#include "platform/CountedFiles.h"
#include "platform/LocationServices.h"
#include "platform/MqttClient.h"
#include "platform/Reachability.h"
#include "storage/LocalEntities.h"
#include "storage/MQTTDataStorageManager.h"
#include "storage/PelkCoreDataStack.h"
#include "support/GpsFake.h"
#include "support/HttpTestServer.h"
#include "support/MosquittoBroker.h"
#include "support/SignUpReplies.h"
#include "tracking/TrackingModeSupport.h"

namespace pelk::bench {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr const char* kBareTopic = "locations/a1/p1/bare";
constexpr const char* kBareHostTopic = "locations/a1/p1/bare-host";

template <class F>
bool waitUntil(F done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(200us);
  }
  return true;
}

// The app's side of the road: every tracked position reaches it, as in a
// host that listens to its own positions.
class CountingDelegate : public PelkDelegate {
 public:
  void didUpdateLocation(const PelkLocation&) override { count.fetch_add(1); }
  std::atomic<long> count{0};
};

// One outcome at a time, answered on a client thread, awaited by the bench.
class Outcome {
 public:
  void reset() {
    std::lock_guard lock(mutex_);
    value_ = -1;
  }
  void answer(bool ok) {
    {
      std::lock_guard lock(mutex_);
      value_ = ok ? 1 : 0;
    }
    cv_.notify_one();
  }
  bool await() {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, 10s, [&] { return value_ >= 0; });
    return value_ == 1;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int value_ = -1;
};

// The kit as a host has it after start-up with a stored user: hooks of the
// manager in place, publishing on, connected to the broker; plus a bare Paho
// client on the same broker and a bare SQLite copy of the kit's buffer.
struct Road {
  Road(const std::string& folder, const test::MosquittoBroker& broker) {
    pointKitAt(folder);
    TokenManager::clearMemoryForTesting();
    MQTTUtilis::resetForTesting();
    MQTTManager::sharedInstance().resetForTesting();
    buffer = std::make_shared<MQTTDataStorageManager>(PelkCoreDataStack().managedObjectContext());
    MQTTManager::sharedInstance().setOfflineBuffer(buffer);
    // A stored user and token: start-up connects without asking the REST
    // service, whose stand-in is then never reached.
    TokenManager::setSdkToken("tok");
    TokenManager::setUserId("u1");
    TokenManager::setAccountId("a1");
    TokenManager::setProjectId("p1");
    TokenManager::setAppId("app-1");
    TokenManager::setPubSubState(true);
    SharedUtil::setDefaultBoolean(true, KLocationPublisher);
    SharedUtil::setDefaultBoolean(true, kOfflineTracking);
    SharedUtil::setDefaultBoolean(true, kLocationListenerSubscribe);
    Pelk::setDelegate(app);
    // The road goes live only while the host has a route out; the figure is
    // of that road, also on a machine without one.
    if (!ReachabilityCheck::isConnectedToNetwork()) {
      std::fprintf(stderr, "pelk_bench_mqtt: no default route here, the kit is told it has one\n");
      platform::Reachability::useTestFlags(platform::ReachabilityFlags::reachable);
    }
    Pelk::initialize("pk-bench", "http://127.0.0.1:" + std::to_string(test::HttpTestServer::unusedPort()),
                     broker.wsUrl());
    if (!waitUntil([] { return MQTTManager::sharedInstance().connected(); }, 15s)) {
      throw std::runtime_error("the kit did not connect to the broker");
    }
    // Every standard key, as a host that stores what it publishes sends it.
    Pelk::publishSave();
    // The kit's own publish, watched: the sink's road ends once the broker
    // acknowledged the position (QoS 1), as the kit itself waits for it
    // before it forgets a position.
    sending::links::publish.set([this](const std::string& message, std::function<void(bool)> handler) {
      MQTTManager::sharedInstance().publishDelivered(message, [this, handler](bool ok) {
        handler(ok);
        delivered.answer(ok);
      });
    });

    // The message the kit sends for a position, for the baseline to send.
    message = LocationUtils::getMQTTString({samplePosition(), "M", false, 5, AppUtilis::getLocationId()});
    bare = std::make_unique<BarePaho>(broker.wsUrl(), "bare-bench");

    // A row as the kit stores it, copied into the baseline's file.
    if (!buffer->saveLocationData({samplePosition(), "M"})) throw std::runtime_error("not buffered");
    bufferPath = buffer->context()->path();
    row.loadNewest(bufferPath, MqttLocationData::entityName);
    buffer->deleteAllRecords();
    const std::string bareFolder = folder + "/bare";
    std::filesystem::create_directories(bareFolder);
    bareReplayPath = bareFolder + "/replay.sqlite";
    bareReplay = std::make_unique<BareDb>(bareReplayPath);
    bareReplay->copySchemaFrom(bufferPath);
  }
  ~Road() {
    sending::links::publish.reset();
    Pelk::setDelegate(nullptr);
    bare.reset();
    MQTTManager::sharedInstance().resetForTesting();
    MQTTManager::sharedInstance().setOfflineBuffer(nullptr);
    releaseKit();
  }

  // One tracked position through the sink until the broker acknowledged it.
  bool kitPosition(int i) {
    delivered.reset();
    trackingmode::sendPosition(samplePosition(i), "M", 5.4);
    return delivered.await();
  }

  // The kit's replay as it runs after a connection: count, pages fetched,
  // published and acknowledged, deleted.
  std::int64_t kitReplay() {
    auto& m = MQTTManager::sharedInstance();
    m.sendOfflineDataIfAny();
    waitUntil([&] { return !m.replayRunning(); }, 120s);
    return kReplayRows - buffer->getOfflineLocationCount();
  }

  // The same on bare parts: count, then pages of the oldest unsent rows read
  // whole, written as the JSON array the service expects, published and
  // acknowledged, and deleted by key in one transaction.
  std::int64_t bareReplayLoop() {
    json rows = json::array();
    return bench::bareReplayLoop(
        bareReplay->get(),
        [&rows](sqlite3_stmt* s) {
          json object = json::object();
          for (int c = 1; c < sqlite3_column_count(s); ++c) {
            const char* name = sqlite3_column_name(s, c);
            switch (sqlite3_column_type(s, c)) {
              case SQLITE_INTEGER:
                object[name] = sqlite3_column_int64(s, c);
                break;
              case SQLITE_FLOAT:
                object[name] = sqlite3_column_double(s, c);
                break;
              case SQLITE_TEXT:
                object[name] = reinterpret_cast<const char*>(sqlite3_column_text(s, c));
                break;
              default:
                break;
            }
          }
          rows.push_back(std::move(object));
        },
        [this, &rows] {
          const bool ok = bare->publishAcknowledged(kBareTopic, rows.dump(2));
          rows = json::array();
          return ok;
        });
  }

  std::shared_ptr<CountingDelegate> app = std::make_shared<CountingDelegate>();
  std::shared_ptr<MQTTDataStorageManager> buffer;
  Outcome delivered;
  std::string message;
  std::unique_ptr<BarePaho> bare;
  std::string bufferPath;
  Row row;
  std::string bareReplayPath;
  std::unique_ptr<BareDb> bareReplay;
};

void registerAll(Road& r) {
  int i = 0;
  registerBench("position/kit", [&r, &i](benchmark::State& st) {
    for (auto _ : st) {
      if (!r.kitPosition(++i)) st.SkipWithError("a position was not acknowledged");
    }
  });
  registerBench("position/bare", [&r](benchmark::State& st) {
    for (auto _ : st) {
      if (!r.bare->publishAcknowledged(kBareTopic, r.message)) st.SkipWithError("not acknowledged");
    }
  });
  registerBench("replay/kit",
                [&r](benchmark::State& st) { timedReplay(st, r.bufferPath, r.row, [&r] { return r.kitReplay(); }); })
      ->UseManualTime()
      ->Iterations(1)
      ->Repetitions(5)
      ->Unit(benchmark::kMillisecond);
  registerBench(
      "replay/bare",
      [&r](benchmark::State& st) { timedReplay(st, r.bareReplayPath, r.row, [&r] { return r.bareReplayLoop(); }); })
      ->UseManualTime()
      ->Iterations(1)
      ->Repetitions(5)
      ->Unit(benchmark::kMillisecond);
}

// gpsfake playing the recorded route at one fix a second (three sentences a
// fix), over and over, into a gpsd of its own on `port`, listening once built.
class GpsFeed {
 public:
  explicit GpsFeed(int port) : fake_(port, /*once=*/false, "0.333") {
    if (fake_.started() && !test::waitForListener(port, 10s)) fake_.stop();
  }
  bool started() const { return fake_.started(); }

 private:
  test::GpsFake fake_;
};

struct ProbeFigures {
  long peakKb = -1;
  long positions = -1;
  long anonKb = -1;  // resident memory not backed by files (heap, stacks)
};

// The figures a host probe printed last; nothing when the probe failed.
std::optional<ProbeFigures> probeFigures(Probe& probe) {
  int status = 0;
  std::string out;
  const auto last = probe.lastLine(&status, &out);
  ProbeFigures f;
  if (!last || std::sscanf(last->c_str(), "%ld %ld %ld", &f.peakKb, &f.positions, &f.anonKb) != 3) {
    std::fprintf(stderr, "pelk_bench_mqtt: probe %s ended with status %d: %s\n", probe.name().c_str(), status,
                 out.c_str());
    return std::nullopt;
  }
  return f;
}

struct HostFigures {
  std::optional<ProbeFigures> kit, bare;
  int seconds = 0;
  long kitPublished = 0, barePublished = 0;
};

// The kit's host and the bare host side by side, each with a gps feed of its
// own, against the same broker and (for the kit) the REST stand-in.
HostFigures measureHosts(const std::string& folder, const test::MosquittoBroker& broker) {
  HostFigures figures;
  const char* secondsEnv = std::getenv("PELK_BENCH_HOST_SECONDS");
  figures.seconds = secondsEnv ? std::atoi(secondsEnv) : 25;
  test::HttpTestServer rest;
  test::answerSignUp(rest);
  const int kitPort = test::HttpTestServer::unusedPort();
  int barePort = test::HttpTestServer::unusedPort();
  while (barePort == kitPort) barePort = test::HttpTestServer::unusedPort();
  GpsFeed kitFeed(kitPort), bareFeed(barePort);
  if (!kitFeed.started() || !bareFeed.started()) {
    std::fprintf(stderr, "pelk_bench_mqtt: gpsfake did not start\n");
    return figures;
  }
  // What reached the broker from each host, counted on the service's side.
  std::atomic<long> kitMessages{0}, bareMessages{0};
  pelk::platform::MqttClientOptions o;
  o.serverUri = "tcp://127.0.0.1:" + std::to_string(broker.tcpPort());
  o.clientId = "bench-service-side";
  auto service = pelk::platform::MqttClient::create(o);
  service->connect();
  if (!waitUntil([&] { return service->isConnected(); }, 10s)) {
    std::fprintf(stderr, "pelk_bench_mqtt: the service side did not connect\n");
    return figures;
  }
  service->subscribe("locations/acc-1/prj-1/u-1", 1, [&](const std::string&, const std::string&) { ++kitMessages; });
  service->subscribe(kBareHostTopic, 1, [&](const std::string&, const std::string&) { ++bareMessages; });
  const std::string seconds = std::to_string(figures.seconds);
  std::filesystem::create_directories(folder + "/host-kit");
  std::filesystem::create_directories(folder + "/host-bare");
  Probe kit({Probe::beside("pelk_bench_host"), "kit", folder + "/host-kit", rest.baseUrl(), broker.wsUrl(),
             std::to_string(kitPort), seconds});
  Probe bare({Probe::beside("pelk_bench_host_bare"), "bare", folder + "/host-bare", rest.baseUrl(), broker.wsUrl(),
              std::to_string(barePort), seconds});
  figures.kit = probeFigures(kit);
  figures.bare = probeFigures(bare);
  std::this_thread::sleep_for(200ms);  // the last acknowledged messages on their way to the service side
  service->disconnect();
  figures.kitPublished = kitMessages.load();
  figures.barePublished = bareMessages.load();
  return figures;
}

// What a position costs the storage, counted under SQLite (every file of the
// kit: the settings, the buffer, the stores): live with the broker up, and
// buffered with it down.  The settings' lazy values (last position, speeds,
// counts, log records) are written once after the run and shown apart: they
// go out at most once per SettingsSuite::kLazyDelay, whatever the rate.  The
// baseline of a buffered position is one insert of its row in a bare copy of
// the buffer (WAL, synchronous=FULL), counted the same way; a live position's
// is nothing (a bare publish writes no file).
struct WearFigures {
  struct Per {
    double bytes = -1, syncs = -1;
  };
  Per live, buffered, bareBuffered;
  platform::CountedFiles::Counts lazyWrite;
  int positions = 0;
  std::int64_t bufferedRows = 0;
};

constexpr int kWearPositions = 40;

WearFigures measureWear(const std::string& folder) {
  WearFigures f;
  f.positions = kWearPositions;
  test::MosquittoBroker broker;
  std::filesystem::create_directories(folder + "/wear");
  Road road(folder + "/wear", broker);
  const auto settings = SharedUtil::userDefaultValue();
  auto per = [](platform::CountedFiles::Counts c) {
    return WearFigures::Per{static_cast<double>(c.bytes) / kWearPositions,
                            static_cast<double>(c.syncs) / kWearPositions};
  };
  // Positions from the simulated provider through active tracking, as gpsd's
  // would come, one every 6 s of the kit's clock.
  auto& sim = platform::LocationServices::useSimulatedProvider();
  sim.setServicesEnabled(true);
  sim.setAuthorization(platform::AuthorizationStatus::authorizedAlways);
  platform::Clock::useVirtual(platform::Clock::now());
  struct Restore {
    ~Restore() {
      Pelk::stopTracking();
      platform::Clock::useSystem();
      platform::LocationServices::useGpsdProvider();
    }
  } restore;
  Pelk::startTracking(PelkTrackingMode::active);
  double lat = 52.5;
  auto deliver = [&] {
    platform::Clock::advance(std::chrono::seconds(6));
    platform::Location l;
    l.coordinate = {lat += 0.0003, 13.4};
    l.horizontalAccuracy = 20;
    l.timestamp = platform::Clock::now();
    const long seen = road.app->count.load();
    sim.deliverFix(l);
    // Positions the kit leaves out never reach the app: waited for a while only.
    waitUntil([&] { return road.app->count.load() > seen; }, 1s);
    return true;
  };
  road.delivered.reset();
  deliver();
  settings->writeLazyValues();
  auto before = platform::CountedFiles::total();
  // Not every position is sent (the kit leaves out some that add nothing):
  // the figure is per position the location service delivered.
  for (int n = 0; n < kWearPositions; ++n) {
    if (!deliver()) throw std::runtime_error("a position did not reach the app");
  }
  std::this_thread::sleep_for(1s);  // the last acknowledgements
  f.live = per(platform::CountedFiles::total() - before);
  before = platform::CountedFiles::total();
  settings->writeLazyValues();
  f.lazyWrite = platform::CountedFiles::total() - before;

  broker.stop();
  if (!waitUntil([] { return !MQTTManager::sharedInstance().connected(); }, 15s)) {
    throw std::runtime_error("the kit did not notice the broker going");
  }
  const auto buffered = road.buffer->getOfflineLocationCount();
  before = platform::CountedFiles::total();
  for (int n = 0; n < kWearPositions; ++n) {
    if (!deliver()) throw std::runtime_error("a position did not reach the app");
  }
  std::this_thread::sleep_for(1s);  // the last ones on their way into the buffer
  f.bufferedRows = road.buffer->getOfflineLocationCount() - buffered;
  f.buffered = per(platform::CountedFiles::total() - before);
  settings->writeLazyValues();

  const std::string barePath = folder + "/wear/bare-buffer.sqlite";
  {
    BareDb bare(barePath, false, platform::CountedFiles::layerName());
    bare.copySchemaFrom(road.bufferPath);
    Statement insert(bare.get(), road.row.insertSql(MqttLocationData::entityName));
    before = platform::CountedFiles::of(barePath);
    for (int n = 0; n < kWearPositions; ++n) {
      road.row.bind(insert);
      insert.step();
      insert.reset();
    }
    f.bareBuffered = per(platform::CountedFiles::of(barePath) - before);
  }
  return f;
}

// The outages of the broker, in seconds: PELK_BENCH_OUTAGES or the default.
std::vector<int> outageSeconds() {
  const char* env = std::getenv("PELK_BENCH_OUTAGES");
  std::vector<int> seconds;
  std::string list = env ? env : "5,10,15,30,45";
  for (std::size_t at = 0; at <= list.size();) {
    const std::size_t comma = std::min(list.find(',', at), list.size());
    const int n = std::atoi(list.substr(at, comma - at).c_str());
    if (n > 0) seconds.push_back(n);
    at = comma + 1;
  }
  return seconds;
}

// Milliseconds from the broker accepting connections again to connected,
// for the kit and for a bare Paho client with automatic reconnection, one
// entry per outage they both came back from.
struct ReturnFigures {
  std::vector<int> outages;
  std::vector<double> kitMs, bareMs;
  bool failed = false;
};

// A broker of its own is stopped for each outage and started again on the
// same ports, with the kit (its own retry timing) and the bare client both
// connected to it over WebSocket.
ReturnFigures measureBrokerReturn(const std::string& folder) {
  ReturnFigures figures;
  figures.outages = outageSeconds();
  test::MosquittoBroker broker;
  pointKitAt(folder + "/return");
  TokenManager::clearMemoryForTesting();
  MQTTUtilis::resetForTesting();
  auto& kit = MQTTManager::sharedInstance();
  kit.resetForTesting();
  auto buffer = std::make_shared<MQTTDataStorageManager>(PelkCoreDataStack().managedObjectContext());
  kit.setOfflineBuffer(buffer);
  TokenManager::setUserId("u1");
  TokenManager::setAccountId("a1");
  TokenManager::setProjectId("p1");
  SharedUtil::setDefaultBoolean(true, KLocationPublisher);
  const auto done = [&] {
    kit.resetForTesting();
    kit.setOfflineBuffer(nullptr);
    releaseKit();
  };
  BarePaho bare(broker.wsUrl(), "bare-return", /*reconnect=*/true);
  if (!MQTTUtilis::saveMqttEndpoint(broker.wsUrl())) {
    std::fprintf(stderr, "pelk_bench_mqtt: the broker's endpoint was refused\n");
    figures.failed = true;
    done();
    return figures;
  }
  kit.connect();
  const auto kitUp = [&] { return kit.connected(); };
  const auto bareUp = [&] { return bare.connected(); };
  if (!waitUntil(kitUp, 15s)) {
    std::fprintf(stderr, "pelk_bench_mqtt: the kit did not connect for the outages\n");
    figures.failed = true;
    done();
    return figures;
  }
  for (const int seconds : figures.outages) {
    broker.stop();
    const auto stopped = std::chrono::steady_clock::now();
    if (!waitUntil([&] { return !kitUp() && !bareUp(); }, 10s)) {
      std::fprintf(stderr, "pelk_bench_mqtt: the loss of the broker went unnoticed\n");
      figures.failed = true;
      break;
    }
    std::this_thread::sleep_until(stopped + std::chrono::seconds(seconds));
    if (!broker.start()) {
      std::fprintf(stderr, "pelk_bench_mqtt: the broker did not start again\n");
      figures.failed = true;
      break;
    }
    // Accepting connections from here on; each side is timed until it is up.
    const auto back = std::chrono::steady_clock::now();
    std::optional<double> kitMs, bareMs;
    const auto limit = back + 90s;
    while ((!kitMs || !bareMs) && std::chrono::steady_clock::now() < limit) {
      const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - back).count();
      if (!kitMs && kitUp()) kitMs = ms;
      if (!bareMs && bareUp()) bareMs = ms;
      std::this_thread::sleep_for(1ms);
    }
    if (!kitMs || !bareMs) {
      std::fprintf(stderr, "pelk_bench_mqtt: not connected 90 s after an outage of %d s (kit %s, bare %s)\n", seconds,
                   kitMs ? "up" : "down", bareMs ? "up" : "down");
      figures.failed = true;
      break;
    }
    figures.kitMs.push_back(*kitMs);
    figures.bareMs.push_back(*bareMs);
    std::fprintf(stderr, "pelk_bench_mqtt: outage of %d s: kit connected again in %.0f ms, bare in %.0f ms\n", seconds,
                 *kitMs, *bareMs);
  }
  done();
  return figures;
}

void printWear(const std::optional<WearFigures>& wear) {
  if (!wear) {
    std::printf("%-40s | not measured\n", "storage written per position");
    return;
  }
  std::printf("%-40s | %10.0f %10s %7s   syncs %.2f (bare 0); %d positions\n", "bytes written per live position",
              wear->live.bytes, "0", "-", wear->live.syncs, wear->positions);
  std::printf("%-40s | %10.0f %10.0f %6.2fx   syncs %.2f (bare %.2f); %lld of %d positions buffered\n",
              "bytes written per buffered position", wear->buffered.bytes, wear->bareBuffered.bytes,
              wear->buffered.bytes / wear->bareBuffered.bytes, wear->buffered.syncs, wear->bareBuffered.syncs,
              static_cast<long long>(wear->bufferedRows), wear->positions);
  std::printf("%-40s | %10llu %10s %7s   syncs %llu; at most one per %lld s\n", "  lazy settings write (bytes)",
              static_cast<unsigned long long>(wear->lazyWrite.bytes), "-", "-",
              static_cast<unsigned long long>(wear->lazyWrite.syncs),
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::seconds>(platform::SettingsSuite::kLazyDelay).count()));
}

void printTable(const std::vector<Column>& columns, const HostFigures& host, const ReturnFigures& back) {
  std::printf("%-40s", "figure");
  for (const auto& c : columns) std::printf(" | %10s %10s %7s", (c.label + " kit").c_str(), "bare", "ratio");
  std::printf("\n");
  auto row = [&](const char* title, const char* kit, const char* bare, auto value, const char* goal) {
    std::printf("%-40s", title);
    for (const auto& c : columns) {
      const auto k = c.medians.find(kit);
      const auto b = c.medians.find(bare);
      if (k == c.medians.end() || b == c.medians.end()) {
        std::printf(" | %10s %10s %7s", "-", "-", "-");
        continue;
      }
      const double kv = value(k->second), bv = value(b->second);
      std::printf(" | %10.1f %10.1f %6.2fx", kv, bv, kv / bv);
    }
    std::printf("   %s\n", goal);
  };
  row(
      "MQTT position: sink to PUBACK (us)", "position/kit", "position/bare", [](double us) { return us; },
      "goal <= 1.5x");
  row(
      "MQTT replay of 10000 positions (ms)", "replay/kit", "replay/bare", [](double us) { return us / 1e3; }, "");
  row(
      "MQTT replay rate (positions/s)", "replay/kit", "replay/bare", [](double us) { return kReplayRows / (us / 1e6); },
      "goal >= 0.5x and >= 20000/s");
  const std::string title = "max RSS, host tracking 1 Hz, MQTT (" + std::to_string(host.seconds) + " s)";
  if (host.kit && host.bare) {
    std::printf("%-40s | %7.1f MB %7.1f MB %6.2fx   goal < 15 MB\n", title.c_str(), host.kit->peakKb / 1024.0,
                host.bare->peakKb / 1024.0,
                static_cast<double>(host.kit->peakKb) / static_cast<double>(host.bare->peakKb));
    std::printf("%-40s | %7.1f MB %7.1f MB %6.2fx   published: kit %ld (app got %ld), bare %ld\n",
                "  of it not file-backed (heap, stacks)", host.kit->anonKb / 1024.0, host.bare->anonKb / 1024.0,
                static_cast<double>(host.kit->anonKb) / static_cast<double>(host.bare->anonKb), host.kitPublished,
                host.kit->positions, host.barePublished);
  } else {
    std::printf("%-40s | probe failed\n", title.c_str());
  }
  const char* returnTitle = "MQTT broker back to connected (s)";
  if (!back.kitMs.empty()) {
    const double kit = median(back.kitMs) / 1e3, bare = median(back.bareMs) / 1e3;
    std::string each;
    for (std::size_t i = 0; i < back.kitMs.size(); ++i) {
      char one[64];
      std::snprintf(one, sizeof one, "%s%d s away %.1f/%.1f", i ? ", " : "", back.outages[i], back.kitMs[i] / 1e3,
                    back.bareMs[i] / 1e3);
      each += one;
    }
    std::printf("%-40s | %10.1f %10.1f %6.2fx   goal <= 5 s; median of %zu outages, kit/bare: %s\n", returnTitle, kit,
                bare, kit / bare, back.kitMs.size(), each.c_str());
  } else {
    std::printf("%-40s | not measured\n", returnTitle);
  }
}

}  // namespace
}  // namespace pelk::bench

int main(int argc, char** argv) {
  using namespace pelk::bench;
  if (!initBenchmark(argc, argv)) return 2;
  Measured m;
  HostFigures host;
  ReturnFigures back;
  std::optional<WearFigures> wear;
  try {
    pelk::test::MosquittoBroker broker;
    m = measureInFolders("pelk_bench_mqtt", "pelk-mqtt-bench",
                         [&broker](const std::string& folder, MedianCollector& collector) {
                           Road road(folder, broker);
                           registerAll(road);
                           runRegistered(collector);
                         });
    if (!m.folders.empty()) host = measureHosts(m.folders.back(), broker);
    if (!m.folders.empty()) back = measureBrokerReturn(m.folders.back());
    if (!m.folders.empty()) wear = measureWear(m.folders.front());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pelk_bench_mqtt: %s\n", e.what());
    m.failed = true;
  }
  printTable(m.columns, host, back);
  printWear(wear);
  removeFolders(m.folders);
  benchmark::Shutdown();
  return m.failed || !host.kit || !host.bare || back.failed || back.kitMs.empty() || !wear ? 1 : 0;
}
