#include "storage/MQTTDataStorageManager.h"

#include <atomic>
#include <cmath>
#include <limits>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "foundation/AppDefaults.h"
#include "foundation/DateExtensions.h"
#include "foundation/SharedUtil.h"
#include "foundation/TokenManager.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Paths.h"
#include "storage/PelkCoreDataStack.h"
#include "StorageFixture.h"

namespace pelk {
namespace {

using test::fixAt;

class MqttBufferTest : public test::StorageTest {
 protected:
  std::unique_ptr<MQTTDataStorageManager> makeBuffer() {
    PelkCoreDataStack stack;
    return std::make_unique<MQTTDataStorageManager>(stack.managedObjectContext(), &device_);
  }
  void storeRows(MQTTDataStorageManager& buffer, int n, int firstLatitude = 0) {
    for (int i = 0; i < n; ++i) {
      ASSERT_TRUE(buffer.saveLocationData({fixAt(firstLatitude + i, 0), "M", false, 0}));
    }
  }
  std::string documentsStore() const { return platform::Paths::documents() + "/" + kPelkModelStoreFile; }
};

TEST_F(MqttBufferTest, StoredRowCarriesFixReadingsAndSwitches) {
  TokenManager::setUserId("user-1");
  TokenManager::setAppId("app-9");
  TokenManager::setLocationEvent(true);
  TokenManager::setNearbyEvent(true);
  TokenManager::setEventListener(true);
  SaveUtilis::saveTrackingOptions(PelkTrackingMode::active);
  const auto start = platform::Clock::now();
  auto buffer = makeBuffer();
  ASSERT_TRUE(buffer->saveLocationData(
      {fixAt(52.5, 13.4), "M", false, 7, "5f0c0ffee0000000000000aa", "2024-01-02T03:04:05.678Z"}));

  const auto rows = buffer->fetchDeviceData(0);
  ASSERT_EQ(rows.size(), 1u);
  const auto& r = rows[0];
  EXPECT_GT(r.objectID, 0);
  EXPECT_EQ(r.activity, "M");
  EXPECT_DOUBLE_EQ(r.latitude, 52.5);
  EXPECT_DOUBLE_EQ(r.longitude, 13.4);
  EXPECT_DOUBLE_EQ(r.altitude, 12.5);
  EXPECT_DOUBLE_EQ(r.horizontal_accuracy, 4.0);
  EXPECT_DOUBLE_EQ(r.vertical_accuracy, 3.0);
  EXPECT_DOUBLE_EQ(r.course, 270.0);
  EXPECT_EQ(r.speed, 7);
  EXPECT_EQ(r.location_id, "5f0c0ffee0000000000000aa");
  EXPECT_EQ(r.recorded_at, "2024-01-02T03:04:05.678Z");
  EXPECT_EQ(r.tracking_mode, "active");
  EXPECT_EQ(r.app_context, "B");
  EXPECT_EQ(r.app_id, "app-9");
  EXPECT_EQ(r.user_id, "user-1");
  EXPECT_EQ(r.battery_remaining, 87);
  EXPECT_TRUE(r.battery_saver);
  EXPECT_EQ(r.battery_status, "charging");
  EXPECT_EQ(r.device_manufacturer, "TestBoard");
  EXPECT_EQ(r.device_model, "Test Board 3");
  EXPECT_EQ(r.os_version, "12.4");
  EXPECT_EQ(r.tz_offset, "+0530");
  EXPECT_TRUE(r.gps_status);
  EXPECT_TRUE(r.location_permission);
  EXPECT_FALSE(r.network_status);
  EXPECT_TRUE(r.location_events);
  EXPECT_FALSE(r.trips_events);
  EXPECT_TRUE(r.nearby_events);
  EXPECT_FALSE(r.geofence_events);
  EXPECT_FALSE(r.location_listener);
  EXPECT_TRUE(r.event_listener);
  EXPECT_EQ(r.mqtt_id, 0);
  ASSERT_TRUE(r.mqttLocation_time);
  EXPECT_GE(*r.mqttLocation_time + std::chrono::milliseconds(1), start);

  // Read back by attribute name: exactly the 32 attributes of the entity.
  const auto dict = r.dictionary();
  EXPECT_EQ(MqttLocationData::attributeNames().size(), 32u);
  EXPECT_EQ(dict.size(), 32u);
  for (const auto& name : MqttLocationData::attributeNames()) EXPECT_TRUE(dict.contains(name)) << name;
  EXPECT_EQ(dict["speed"], 7);
  EXPECT_EQ(dict["battery_saver"], true);
}

TEST_F(MqttBufferTest, MissingLocationIdIsGeneratedGivenOneKept) {
  auto buffer = makeBuffer();
  ASSERT_TRUE(buffer->saveLocationData({fixAt(1, 1), "M", false, 0, ""}));
  ASSERT_TRUE(buffer->saveLocationData({fixAt(2, 2), "M", false, 0}));
  ASSERT_TRUE(buffer->saveLocationData({fixAt(3, 3), "M", false, 0, "given"}));
  const auto rows = buffer->fetchDeviceData(0);
  ASSERT_EQ(rows.size(), 3u);
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(rows[i].location_id);
    EXPECT_EQ(rows[i].location_id->size(), 24u);
    EXPECT_EQ(rows[i].location_id->find_first_not_of("0123456789abcdef"), std::string::npos);
  }
  EXPECT_NE(rows[0].location_id, rows[1].location_id);
  EXPECT_EQ(rows[2].location_id, "given");
}

TEST_F(MqttBufferTest, RecordedTimeAndStoredVisitTime) {
  struct Case {
    const char* name;
    const char* activity;
    bool manual;
    std::optional<std::string> recordedAt;
    std::optional<std::string> visit;  // stored "VisitDate"
    const char* expected;              // "now", "visit" or the given text
    bool visitRemains;
    const char* mode;
  };
  const std::string visit = "2023-05-06T07:08:09.000Z";
  const std::vector<Case> cases{
      {"stationary takes the stored visit once", "S", false, std::nullopt, visit, "visit", false, "balanced"},
      {"stationary without a visit gets now", "S", false, std::nullopt, std::nullopt, "now", false, "balanced"},
      {"stationary with an empty visit gets now", "S", false, std::nullopt, "", "now", false, "balanced"},
      {"manual fix ignores the visit", "S", true, std::nullopt, visit, "now", true, "manual"},
      {"moving ignores the visit", "M", false, std::nullopt, visit, "now", true, "balanced"},
      {"given time is kept", "S", false, "2020-01-01T00:00:00.000Z", visit, "2020-01-01T00:00:00.000Z", true,
       "balanced"},
      {"empty given time counts as none", "M", true, "", visit, "now", true, "manual"},
  };
  SaveUtilis::saveTrackingOptions(PelkTrackingMode::balanced);
  const auto now = platform::Clock::fromSecondsSince1970(1700000000.25);
  platform::Clock::useVirtual(now);
  auto buffer = makeBuffer();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(buffer->deleteAllRecords());
    SharedUtil::removeKey(kVisitDate);
    if (c.visit) SharedUtil::setDefaultString(*c.visit, kVisitDate);
    ASSERT_TRUE(buffer->saveLocationData({fixAt(1, 1), c.activity, c.manual, 0, std::nullopt, c.recordedAt}));
    const auto rows = buffer->fetchDeviceData(0);
    ASSERT_EQ(rows.size(), 1u);
    const std::string expected = std::string(c.expected) == "now"     ? iso8601(now)
                                 : std::string(c.expected) == "visit" ? visit
                                                                      : c.expected;
    EXPECT_EQ(rows[0].recorded_at, expected);
    EXPECT_EQ(rows[0].tracking_mode, c.mode);
    EXPECT_EQ(SharedUtil::userDefaultValue()->contains(kVisitDate), c.visitRemains && c.visit.has_value());
  }
  platform::Clock::useSystem();
}

TEST_F(MqttBufferTest, PagesOfFiftyInInsertionOrder) {
  auto buffer = makeBuffer();
  storeRows(*buffer, 120);
  // A row with another tag is counted but never replayed.
  ASSERT_TRUE(buffer->saveLocationData({fixAt(999, 0), "M", false, 0, std::nullopt, std::nullopt}, 7));
  EXPECT_EQ(buffer->getOfflineLocationCount(), 121);

  const std::vector<std::pair<std::int64_t, std::size_t>> pages{{0, 50},  {50, 50}, {100, 20},
                                                                {120, 0}, {500, 0}, {-5, 50}};
  for (const auto& [offset, size] : pages) {
    const auto rows = buffer->fetchDeviceData(offset);
    ASSERT_EQ(rows.size(), size) << "offset " << offset;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      EXPECT_DOUBLE_EQ(rows[i].latitude, static_cast<double>(std::max<std::int64_t>(offset, 0) + i));
    }
  }
}

TEST_F(MqttBufferTest, ReplayDeletesExactlyThePublishedPage) {
  auto buffer = makeBuffer();
  storeRows(*buffer, 60);
  const auto page = buffer->fetchDeviceData(0);
  ASSERT_EQ(page.size(), 50u);
  storeRows(*buffer, 5, 1000);  // arrive while the page is being published
  ASSERT_TRUE(buffer->deleteBatchEntity(page));
  EXPECT_EQ(buffer->getOfflineLocationCount(), 15);
  const auto rest = buffer->fetchDeviceData(0);
  ASSERT_EQ(rest.size(), 15u);
  EXPECT_DOUBLE_EQ(rest.front().latitude, 50);
  EXPECT_DOUBLE_EQ(rest.back().latitude, 1004);

  // Deleting the same page again (a stale copy) touches nothing, also not
  // rows stored after it.
  storeRows(*buffer, 3, 2000);
  ASSERT_TRUE(buffer->deleteBatchEntity(page));
  ASSERT_TRUE(buffer->deleteBatchEntity({}));
  EXPECT_EQ(buffer->getOfflineLocationCount(), 18);

  ASSERT_TRUE(buffer->deleteRecord(rest.front()));
  EXPECT_EQ(buffer->getOfflineLocationCount(), 17);
  ASSERT_TRUE(buffer->deleteAllRecords());
  EXPECT_EQ(buffer->getOfflineLocationCount(), 0);
}

TEST_F(MqttBufferTest, DeleteByTagNeedsExactlyOneRow) {
  auto buffer = makeBuffer();
  for (int tag : {3, 3, 5, 0}) {
    ASSERT_TRUE(buffer->saveLocationData({fixAt(tag, 0), "M", false, 0, std::nullopt, std::nullopt}, tag));
  }
  buffer->deleteLocationEntity(3);
  EXPECT_EQ(buffer->getOfflineLocationCount(), 4);
  buffer->deleteLocationEntity(9);
  EXPECT_EQ(buffer->getOfflineLocationCount(), 4);
  buffer->deleteLocationEntity(5);
  EXPECT_EQ(buffer->getOfflineLocationCount(), 3);
}

TEST_F(MqttBufferTest, SixteenBitAttributesSaturate) {
  auto buffer = makeBuffer();
  device_.battery = 40000;
  ASSERT_TRUE(buffer->saveLocationData({fixAt(1, 0), "M", false, 100000}));
  device_.battery = -1;
  ASSERT_TRUE(buffer->saveLocationData({fixAt(2, 0), "M", false, -100000}));
  // A tag beyond 16 bits saturates too: it never turns into a replayable 0.
  ASSERT_TRUE(buffer->saveLocationData({fixAt(3, 0), "M", false, 0, std::nullopt, std::nullopt}, 65536));
  const auto rows = buffer->fetchDeviceData(0);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].speed, 32767);
  EXPECT_EQ(rows[0].battery_remaining, 32767);
  EXPECT_EQ(rows[1].speed, -32768);
  EXPECT_EQ(rows[1].battery_remaining, -1);
  EXPECT_EQ(buffer->getOfflineLocationCount(), 3);
  buffer->deleteLocationEntity(65536);
  EXPECT_EQ(buffer->getOfflineLocationCount(), 2);
}

TEST_F(MqttBufferTest, RowsSurviveReopeningTheStoreFile) {
  std::weak_ptr<platform::Database> handle;
  std::vector<MqttLocationData> before;
  {
    auto buffer = makeBuffer();
    storeRows(*buffer, 3);
    before = buffer->fetchDeviceData(0);
    handle = buffer->context();
  }
  ASSERT_TRUE(handle.expired()) << "the file's connection is closed once nobody holds it";
  auto reopened = makeBuffer();
  EXPECT_EQ(reopened->getOfflineLocationCount(), 3);
  const auto after = reopened->fetchDeviceData(0);
  ASSERT_EQ(after.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(after[i].objectID, before[i].objectID);
    EXPECT_EQ(after[i].location_id, before[i].location_id);
    EXPECT_EQ(after[i].dictionary(), before[i].dictionary());
  }
}

TEST_F(MqttBufferTest, StoreThatCannotOpenDropsWritesWithALineAndRecovers) {
  std::filesystem::create_directories(documentsStore());  // a directory where the file belongs
  platform::Console::Capture capture;
  auto buffer = makeBuffer();
  ASSERT_FALSE(capture.lines().empty());
  EXPECT_EQ(capture.lines()[0].rfind("Unresolved error Failed to initialize the application's saved data", 0), 0u)
      << capture.lines()[0];

  EXPECT_FALSE(buffer->saveLocationData({fixAt(1, 1), "M", false, 0, "lost-id"}));
  bool logged = false;
  // A lost position has no handler to go to: the line is at Error level.
  for (const auto& line : capture.lines(platform::Console::Level::Error)) {
    logged |= line.find("position lost-id not buffered") != std::string::npos;
  }
  EXPECT_TRUE(logged);
  EXPECT_EQ(buffer->getOfflineLocationCount(), 0);
  EXPECT_TRUE(buffer->fetchDeviceData(0).empty());
  EXPECT_FALSE(buffer->deleteBatchEntity({MqttLocationData{}}));

  // The next use after the obstacle is gone opens the store.
  std::filesystem::remove(documentsStore());
  EXPECT_TRUE(buffer->saveLocationData({fixAt(1, 1), "M", false, 0}));
  EXPECT_EQ(buffer->getOfflineLocationCount(), 1);
}

TEST_F(MqttBufferTest, UnknownReadingsDoNotCostThePosition) {
  auto buffer = makeBuffer();
  auto fix = fixAt(1, 2);
  fix.altitude = std::nan("");  // e.g. a fix without height
  fix.course = std::numeric_limits<double>::infinity();
  ASSERT_TRUE(buffer->saveLocationData({fix, "M", false, 0}));
  const auto rows = buffer->fetchDeviceData(0);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_DOUBLE_EQ(rows[0].latitude, 1.0);
  EXPECT_EQ(rows[0].altitude, 0.0);
  EXPECT_EQ(rows[0].course, 0.0);
}

TEST_F(MqttBufferTest, VisitTimeIsKeptWhenThePositionCannotBeStored) {
  const std::string visit = "2023-05-06T07:08:09.000Z";
  SharedUtil::setDefaultString(visit, kVisitDate);
  std::filesystem::create_directories(documentsStore());  // the store cannot open
  platform::Console::Capture capture;
  auto buffer = makeBuffer();
  EXPECT_FALSE(buffer->saveLocationData({fixAt(1, 1), "S", false, 0}));
  EXPECT_EQ(SharedUtil::getDefaultString(kVisitDate), visit);

  std::filesystem::remove(documentsStore());
  ASSERT_TRUE(buffer->saveLocationData({fixAt(1, 1), "S", false, 0}));
  EXPECT_EQ(buffer->fetchDeviceData(0).at(0).recorded_at, visit);
  EXPECT_FALSE(SharedUtil::userDefaultValue()->contains(kVisitDate));
}

TEST_F(MqttBufferTest, SinkAndReplayOnDifferentThreadsLoseNothing) {
  auto buffer = makeBuffer();
  constexpr int kRows = 150;
  std::atomic<bool> writing{true};
  std::thread sink([&] {
    for (int i = 0; i < kRows; ++i) EXPECT_TRUE(buffer->saveLocationData({fixAt(i, 0), "M", false, 0}));
    writing = false;
  });
  std::multiset<std::string> replayed;
  std::thread replay([&] {
    while (true) {
      const bool last = !writing;
      const auto page = buffer->fetchDeviceData(0);
      for (const auto& row : page) replayed.insert(*row.location_id);
      EXPECT_TRUE(buffer->deleteBatchEntity(page));
      if (last && page.empty()) break;
      if (page.empty()) std::this_thread::yield();
    }
  });
  sink.join();
  replay.join();
  EXPECT_EQ(replayed.size(), static_cast<std::size_t>(kRows));
  EXPECT_EQ(std::set<std::string>(replayed.begin(), replayed.end()).size(), static_cast<std::size_t>(kRows))
      << "no row replayed twice";
  EXPECT_EQ(buffer->getOfflineLocationCount(), 0);
}

// Device readings that run a step of the test while the position is being
// stored: after its stored switches were read, before its row goes in.
class MidwayDevice : public test::FixedDevice {
 public:
  BatteryReading batteryReading() override {
    if (midway) midway();
    return FixedDevice::batteryReading();
  }
  std::function<void()> midway;
};

class MqttBufferVisitTimeTest : public test::SettingsTest {
 protected:
  MidwayDevice device_;
};

// A stationary position takes the stored visit time; a newer visit time
// stored while that position is on its way into the buffer is the next
// position's, and stays.  Without one, the used visit time goes once stored.
TEST_F(MqttBufferVisitTimeTest, VisitTimeStoredMeanwhileIsKeptForTheNextPosition) {
  const std::string first = "2023-05-06T07:08:09.000Z";
  const std::string newer = "2023-05-06T08:00:00.000Z";
  PelkCoreDataStack stack;
  MQTTDataStorageManager buffer(stack.managedObjectContext(), &device_);
  SharedUtil::setDefaultString(first, kVisitDate);
  device_.midway = [&] { SharedUtil::setDefaultString(newer, kVisitDate); };
  ASSERT_TRUE(buffer.saveLocationData({test::fixAt(1, 1), "S", false, 0}));
  device_.midway = nullptr;
  EXPECT_EQ(SharedUtil::getDefaultString(kVisitDate), newer);
  ASSERT_TRUE(buffer.saveLocationData({test::fixAt(1, 1), "S", false, 0}));
  EXPECT_FALSE(SharedUtil::userDefaultValue()->contains(kVisitDate));
  const auto rows = buffer.fetchDeviceData(0);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].recorded_at, first);
  EXPECT_EQ(rows[1].recorded_at, newer);
}

}  // namespace
}  // namespace pelk
