#include "storage/PelkHTTPDataStorageManager.h"

#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "foundation/TokenManager.h"
#include "network/PelkAPIClient.h"
#include "platform/Console.h"
#include "platform/Paths.h"
#include "storage/PelkCoreDataStack.h"
#include "StorageFixture.h"

namespace pelk {
namespace {

using test::fixAt;

class HttpBufferTest : public test::StorageTest {
 protected:
  std::string storePath() const { return platform::Paths::appSupport() + "/" + kQuelbrinModelStoreFile; }

  // An upload the test answers by hand.
  struct PendingUpload {
    nlohmann::json records;
    std::function<void(bool)> done;
  };
  void installManualUpload(PelkHTTPDataStorageManager& buffer) {
    buffer.setUpload([this](const nlohmann::json& records, std::function<void(bool)> done) {
      pending_.push_back({records, std::move(done)});
    });
  }
  std::vector<PendingUpload> pending_;
};

TEST_F(HttpBufferTest, OpensOnFirstUseAndStoresTheReadingsOfTheMoment) {
  TokenManager::setUserId("user-7");
  PelkHTTPDataStorageManager buffer(&device_);
  EXPECT_FALSE(std::filesystem::exists(storePath()));
  EXPECT_TRUE(buffer.fetchDeviceData().empty());
  EXPECT_TRUE(std::filesystem::exists(storePath()));

  ASSERT_TRUE(buffer.saveLocationData({fixAt(48.1, 11.5), "S", true, 3}));
  ASSERT_TRUE(buffer.saveLocationData({fixAt(48.2, 11.6), "M", false, 4}));
  const auto rows = buffer.fetchDeviceData();
  ASSERT_EQ(rows.size(), 2u);
  const auto& r = rows[0];
  EXPECT_DOUBLE_EQ(r.latitude, 48.1);
  EXPECT_DOUBLE_EQ(r.longitude, 11.5);
  EXPECT_DOUBLE_EQ(r.accuracy, 4.0);
  EXPECT_DOUBLE_EQ(r.altitude, 12.5);
  EXPECT_DOUBLE_EQ(r.speed, 3.0);
  EXPECT_EQ(r.activity, "S");
  EXPECT_EQ(r.app_stat, "M") << "the flag records the app state as moving";
  EXPECT_EQ(rows[1].app_stat, "B");
  EXPECT_EQ(r.battery_remaining, 87);
  EXPECT_TRUE(r.gps_stat);
  EXPECT_TRUE(r.location_permission);
  EXPECT_TRUE(r.motion_stat);
  EXPECT_FALSE(r.net_stat);
  EXPECT_TRUE(r.bat_saver_mode);
  EXPECT_EQ(r.bat_stat, "charging");
  EXPECT_EQ(r.timezone_offset, "+0530");
  EXPECT_EQ(r.user_id, "user-7");
  ASSERT_TRUE(r.recorded_at);
  EXPECT_EQ(r.recorded_at->size(), 24u);
  EXPECT_FALSE(r.started_at);
  EXPECT_FALSE(r.ended_at);
  EXPECT_FALSE(r.dictionary().contains("started_at"));

  const auto record = PelkHTTPDataStorageManager::uploadRecord(r);
  EXPECT_EQ(record["latitude"], 48.1);
  EXPECT_EQ(record["app_stat"], "M");
  EXPECT_EQ(record["gps_stat"], true);
  EXPECT_EQ(record["timezone_offset"], "+0530");
  EXPECT_EQ(record["bat_stat"], "charging");
  EXPECT_FALSE(record.contains("started_at"));
  EXPECT_FALSE(record.contains("battery_remaining"));

  ASSERT_TRUE(buffer.deleteAllRecords());
  EXPECT_TRUE(buffer.fetchDeviceData().empty());
  EXPECT_TRUE(buffer.deleteAllRecords());
}

TEST_F(HttpBufferTest, OnlyAcceptedRowsAreDeletedAndOnlyAfterAcceptance) {
  PelkHTTPDataStorageManager buffer(&device_);
  installManualUpload(buffer);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(buffer.saveLocationData({fixAt(i, 0), "M", false, 0}));

  std::vector<bool> results;
  buffer.uploadStoredLocations([&](bool uploaded) { results.push_back(uploaded); });
  ASSERT_EQ(pending_.size(), 1u);
  ASSERT_EQ(pending_[0].records.size(), 3u);
  EXPECT_EQ(pending_[0].records[2]["latitude"], 2.0);
  EXPECT_EQ(buffer.fetchDeviceData().size(), 3u) << "nothing deleted while the server has not answered";

  // A second upload while the first is in flight sends nothing twice.
  buffer.uploadStoredLocations([&](bool uploaded) { results.push_back(uploaded); });
  EXPECT_EQ(pending_.size(), 1u);
  ASSERT_EQ(results, std::vector<bool>{false});

  // Positions stored during the upload are not part of it.
  ASSERT_TRUE(buffer.saveLocationData({fixAt(100, 0), "M", false, 0}));
  pending_[0].done(true);
  pending_[0].done(true);  // a repeated answer changes nothing
  EXPECT_EQ(results, (std::vector<bool>{false, true}));
  const auto left = buffer.fetchDeviceData();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_DOUBLE_EQ(left[0].latitude, 100);
}

TEST_F(HttpBufferTest, RefusedOrImpossibleUploadKeepsEveryRow) {
  PelkHTTPDataStorageManager buffer(&device_);
  ASSERT_TRUE(buffer.saveLocationData({fixAt(1, 0), "M", false, 0}));

  installManualUpload(buffer);
  bool result = true;
  buffer.uploadStoredLocations([&](bool uploaded) { result = uploaded; });
  ASSERT_EQ(pending_.size(), 1u);
  pending_[0].done(false);
  EXPECT_FALSE(result);
  EXPECT_EQ(buffer.fetchDeviceData().size(), 1u);

  // After a refusal the next upload runs again; an answer from another thread
  // (the REST callback queue) is fine.
  buffer.setUpload(
      [](const nlohmann::json&, std::function<void(bool)> done) { std::thread([done] { done(true); }).join(); });
  buffer.uploadStoredLocations([&](bool uploaded) { result = uploaded; });
  EXPECT_TRUE(result);
  EXPECT_TRUE(buffer.fetchDeviceData().empty());

  // With nothing buffered there is nothing to send.
  buffer.uploadStoredLocations([&](bool uploaded) { result = uploaded; });
  EXPECT_FALSE(result);
}

TEST_F(HttpBufferTest, SenderThatThrowsKeepsTheRowsAndDoesNotBlockLaterUploads) {
  PelkHTTPDataStorageManager buffer(&device_);
  ASSERT_TRUE(buffer.saveLocationData({fixAt(1, 0), "M", false, 0}));
  platform::Console::Capture capture;
  buffer.setUpload([](const nlohmann::json&, std::function<void(bool)>) { throw std::runtime_error("no route"); });
  bool result = true;
  buffer.uploadStoredLocations([&](bool uploaded) { result = uploaded; });
  EXPECT_FALSE(result);
  EXPECT_EQ(buffer.fetchDeviceData().size(), 1u);

  buffer.setUpload([](const nlohmann::json&, std::function<void(bool)> done) { done(true); });
  buffer.uploadStoredLocations([&](bool uploaded) { result = uploaded; });
  EXPECT_TRUE(result);
  EXPECT_TRUE(buffer.fetchDeviceData().empty());
}

// The REST client's location upload, answered with a fixed text.
class FakeApi : public PelkAPIClient {
 public:
  void updateLocation(const nlohmann::json& locations, LocationCompletion completion) override {
    sent.push_back(locations);
    completion(answer);
  }
  std::string answer;
  std::vector<nlohmann::json> sent;
};

TEST_F(HttpBufferTest, DefaultUploadGoesThroughTheRestClientAndTrustsOnlyItsSuccessText) {
  struct Case {
    const char* answer;
    bool deleted;
  };
  const std::vector<Case> cases{
      {"Network error", false},
      {"Server error", false},
      {"invalid token", false},
      {"", false},
      {"location recorded successfully.", true},
  };
  FakeApi api;
  PelkHTTPDataStorageManager buffer(&device_, &api);
  ASSERT_TRUE(buffer.saveLocationData({fixAt(5, 6), "M", false, 0}));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    api.answer = c.answer;
    bool result = !c.deleted;
    buffer.uploadStoredLocations([&](bool uploaded) { result = uploaded; });
    EXPECT_EQ(result, c.deleted);
    EXPECT_EQ(buffer.fetchDeviceData().empty(), c.deleted);
  }
  ASSERT_EQ(api.sent.size(), cases.size());
  ASSERT_TRUE(api.sent.back().is_array());
  ASSERT_EQ(api.sent.back().size(), 1u);
  EXPECT_EQ(api.sent.back()[0]["longitude"], 6.0);
}

TEST_F(HttpBufferTest, StoreThatCannotOpenDegrades) {
  std::filesystem::create_directories(storePath());
  platform::Console::Capture capture;
  PelkHTTPDataStorageManager buffer(&device_);
  installManualUpload(buffer);
  EXPECT_FALSE(buffer.saveLocationData({fixAt(1, 0), "M", false, 0}));
  EXPECT_TRUE(buffer.fetchDeviceData().empty());
  bool result = true;
  buffer.uploadStoredLocations([&](bool uploaded) { result = uploaded; });
  EXPECT_FALSE(result);
  EXPECT_TRUE(pending_.empty());
  const auto lines = capture.lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].rfind(" Loading of store failed:", 0), 0u) << lines[0];
  bool dropped = false;
  for (const auto& l : lines) dropped |= l.find("position not buffered for upload") != std::string::npos;
  EXPECT_TRUE(dropped);

  std::filesystem::remove(storePath());
  EXPECT_TRUE(buffer.saveLocationData({fixAt(1, 0), "M", false, 0}));
  EXPECT_EQ(buffer.fetchDeviceData().size(), 1u);
}

}  // namespace
}  // namespace pelk
