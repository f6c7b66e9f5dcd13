#include <cmath>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "messaging/HttpOfflineLocationUtils.h"
#include "messaging/LocationUtils.h"
#include "messaging/LocationMessageFixture.h"
#include "network/NetworkFixture.h"
#include "support/FixBuilder.h"

namespace pelk {
namespace {

using nlohmann::json;

const std::string kLocationPath = "/v3/location/";

std::string reply(int code, const std::string& msg) { return json{{"code", code}, {"msg", msg}}.dump(); }

class UploadTest : public test::RestTest {
 protected:
  UploadTest() {
    platform::Clock::useVirtual(test::kNow);
    SharedUtil::setDefaultString("u-42", kUserId);
  }
  ~UploadTest() override { platform::Clock::useSystem(); }

  test::FixedDevice device_;
};

TEST_F(UploadTest, OnlinePositionIsOneRecordAcceptedOnlyOnTheSuccessText) {
  struct Case {
    std::optional<std::string> body;  // nothing: the server is unreachable
    bool accepted;
  };
  const Case cases[] = {
      {reply(200, "location recorded successfully."), true},
      {reply(201, "location recorded successfully."), true},
      {reply(200, "Location recorded successfully."), false},
      {reply(200, " location recorded successfully. "), false},
      {reply(400, "Bad request"), false},
      {std::nullopt, false},
  };
  const platform::Location fix = test::FixBuilder(52.52, 13.405).altitude(34.5).accuracy(5);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body.value_or("no server"));
    if (c.body) {
      server_.enqueue(kLocationPath, test::ScriptedReply::json(*c.body));
    } else {
      SharedUtil::setDefaultString("http://127.0.0.1:" + std::to_string(test::HttpTestServer::unusedPort()),
                                   KUserBaseUrl);
      APIClient::resetBaseUrlForTesting();
    }
    test::Awaited<bool> answer;
    LocationUtils::onlineLocationData(
        {fix, "M", false, 27}, [&](bool ok) { answer.set(ok); }, device_, client_);
    EXPECT_EQ(answer.get(), c.accepted);
  }
  const auto requests = server_.requests(kLocationPath);
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(json::parse(requests.front().body), json::parse(R"([{
    "longitude": 13.405, "latitude": 52.52, "accuracy": 5.0, "altitude": 34.5, "speed": 27, "activity": "M",
    "battery_remaining": 87, "gps_stat": true, "location_permission": true, "motion_stat": true,
    "net_stat": false, "timezone_offset": "+0530", "user_id": "u-42", "bat_saver_mode": true,
    "recorded_at": "2024-03-01T12:00:00.000Z"
  }])"));
}

TEST_F(UploadTest, BufferedRowsLeaveOnlyOnceTheServerAcceptedThem) {
  PelkHTTPDataStorageManager store(&device_);
  ASSERT_TRUE(store.saveLocationData({test::fixAt(10.5, 20.25), "S", false, 3}));
  ASSERT_TRUE(store.saveLocationData({test::fixAt(11.5, 21.25), "M", false, 9}));
  auto& utils = HttpOfflineLocationUtils::sharedInstance();
  auto upload = [&] {
    test::Awaited<bool> done;
    utils.uploadStoredLocations(
        store, [&](bool uploaded) { done.set(uploaded); }, client_);
    return done.get();
  };

  server_.enqueue(kLocationPath, test::ScriptedReply::json(reply(500, "Server down"), 500));
  EXPECT_FALSE(upload());
  EXPECT_EQ(store.fetchDeviceData().size(), 2u) << "a refused upload keeps every row";

  // A row stored while the upload is under way waits for the next one.
  server_.setHandler([&](const test::RecordedRequest&) {
    EXPECT_TRUE(store.saveLocationData({test::fixAt(12.5, 22.25), "M", false, 1}));
    return test::ScriptedReply::json(reply(200, kLocationUpdateSucess));
  });
  EXPECT_TRUE(upload());
  const auto left = store.fetchDeviceData();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left.front().latitude, 12.5);

  const auto requests = server_.requests(kLocationPath);
  ASSERT_EQ(requests.size(), 2u);
  const auto body = json::parse(requests.back().body);
  ASSERT_EQ(body.size(), 2u);
  EXPECT_EQ(body[0]["latitude"], 10.5);
  EXPECT_EQ(body[1]["latitude"], 11.5);
  // The offset the position was recorded in, not the host's at upload time.
  EXPECT_EQ(body[0]["timezone_offset"], "+0530");
  EXPECT_FALSE(body[0].contains("battery_remaining"));
}

// A REST client whose upload fails outright.
class ThrowingClient : public PelkAPIClient {
 public:
  using PelkAPIClient::PelkAPIClient;
  void updateLocation(const nlohmann::json&, LocationCompletion) override { throw std::runtime_error("no socket"); }
};

TEST_F(UploadTest, AFailingSenderKeepsTheRowsAndDoesNotBlockTheNextUpload) {
  PelkHTTPDataStorageManager store(&device_);
  ASSERT_TRUE(store.saveLocationData({test::fixAt(10.5, 20.25), "S", false, 3}));
  ThrowingClient broken(transport_);
  auto& utils = HttpOfflineLocationUtils::sharedInstance();
  bool uploaded = true;
  utils.uploadStoredLocations(
      store, [&](bool ok) { uploaded = ok; }, broken);
  EXPECT_FALSE(uploaded);
  EXPECT_EQ(store.fetchDeviceData().size(), 1u);

  server_.enqueue(kLocationPath, test::ScriptedReply::json(reply(200, kLocationUpdateSucess)));
  test::Awaited<bool> done;
  utils.uploadStoredLocations(
      store, [&](bool ok) { done.set(ok); }, client_);
  EXPECT_TRUE(done.get());
  EXPECT_TRUE(store.fetchDeviceData().empty());
}

TEST_F(UploadTest, AnEmptyBufferSendsNothing) {
  PelkHTTPDataStorageManager store(&device_);
  bool uploaded = true;
  HttpOfflineLocationUtils::sharedInstance().uploadStoredLocations(
      store, [&](bool ok) { uploaded = ok; }, client_);
  EXPECT_FALSE(uploaded);
  bool accepted = true;
  HttpOfflineLocationUtils::sharedInstance().locationDataToDictionary(
      {}, [&](bool ok) { accepted = ok; }, client_);
  EXPECT_FALSE(accepted);
  EXPECT_TRUE(server_.requests().empty());
}

TEST_F(UploadTest, UploadRecordOfARowWithoutTexts) {
  HttpLocationData row;
  row.latitude = 1;
  row.longitude = 2;
  row.battery_remaining = 50;
  row.started_at = "2024-01-01T00:00:00.000Z";
  const auto record = HttpOfflineLocationUtils::sharedInstance().offlineLocationParameter(row);
  EXPECT_EQ(record.size(), 11u);
  EXPECT_EQ(record["timezone_offset"], DeviceInfo::sharedInstance().timeOffSet()) << "none stored: the current one";
  for (const char* key :
       {"activity", "app_stat", "bat_stat", "recorded_at", "user_id", "battery_remaining", "started_at", "ended_at"}) {
    EXPECT_FALSE(record.contains(key)) << key;
  }
}

// gpsd reports a position without a fix with NaN coordinates.
TEST_F(UploadTest, APositionWithoutAFixIsNotPosted) {
  platform::Location fix;
  fix.coordinate = {std::nan(""), std::nan("")};
  fix.horizontalAccuracy = 5;
  server_.enqueue(kLocationPath, test::ScriptedReply::json(reply(200, "location recorded successfully.")));
  test::Awaited<bool> answer;
  LocationUtils::onlineLocationData(
      {fix, "M", false, 27}, [&](bool ok) { answer.set(ok); }, device_, client_);
  EXPECT_FALSE(answer.get());
  EXPECT_TRUE(server_.requests(kLocationPath).empty());
}

}  // namespace
}  // namespace pelk
