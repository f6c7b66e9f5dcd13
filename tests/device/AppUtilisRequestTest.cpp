#include <gtest/gtest.h>

#include "device/AppUtili.h"
#include "device/DeviceFixture.h"
#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"

namespace pelk::test {
namespace {

using nlohmann::json;

const std::string kUuid = kFixtureDeviceUuid;

class RequestTest : public DeviceTest {
 protected:
  RequestTest() { simulating("iPhone12,1"); }
  void signedIn() {
    SharedUtil::setDefaultString("tok-1", kSDKToken);
    SharedUtil::setDefaultString("push-1", kDeviceToken);
    SharedUtil::setDefaultString("U1", kUserId);
  }
  static platform::TimePoint at(double seconds) { return platform::Clock::fromSecondsSince1970(seconds); }
};

TEST_F(RequestTest, HeadersWithAndWithoutStoredTokens) {
  EXPECT_EQ(AppUtilis::headerParams(), (AppUtilis::Headers{{"Authorization", "token "}}));
  EXPECT_EQ(AppUtilis::getUserParameter(), (AppUtilis::Headers{{"Device-Uuid", kUuid}}));

  signedIn();
  EXPECT_EQ(AppUtilis::headerParams(), (AppUtilis::Headers{{"Authorization", "token tok-1"}}));
  EXPECT_EQ(AppUtilis::getUserParameter(),
            (AppUtilis::Headers{{"Authorization", "token tok-1"}, {"Device-Token", "push-1"}, {"Device-Uuid", kUuid}}));
}

TEST_F(RequestTest, UserBodies) {
  EXPECT_EQ(AppUtilis::createUserParameter(""), json::parse(R"({
    "brand": "Linux", "model": "iPhone 11", "os_version": "12", "sdk_version": "0.0.5",
    "device_uuid": "3E4F1E24-EBBB-55D4-8FFD-2CED83DF1AAB"})"));
  EXPECT_EQ(AppUtilis::setDescriptionParameter(""), json::parse(R"({
    "brand": "Linux", "model": "iPhone 11", "os_version": "12", "sdk_version": "0.0.5",
    "description": "", "user_id": "", "device_uuid": "3E4F1E24-EBBB-55D4-8FFD-2CED83DF1AAB"})"));

  signedIn();
  simulating("iPad4,1");  // the model keeps its trailing blank in bodies
  EXPECT_EQ(AppUtilis::createUserParameter("Driver 7"), json::parse(R"({
    "brand": "Linux", "model": "iPad Air ", "os_version": "12", "sdk_version": "0.0.5",
    "device_token": "push-1", "description": "Driver 7",
    "device_uuid": "3E4F1E24-EBBB-55D4-8FFD-2CED83DF1AAB"})"));
  EXPECT_EQ(AppUtilis::setDescriptionParameter("Driver 8"), json::parse(R"({
    "brand": "Linux", "model": "iPad Air ", "os_version": "12", "sdk_version": "0.0.5",
    "device_token": "push-1", "description": "Driver 8", "user_id": "U1",
    "device_uuid": "3E4F1E24-EBBB-55D4-8FFD-2CED83DF1AAB"})"));
}

TEST_F(RequestTest, DeviceTokenBody) {
  using Body = std::map<std::string, std::string>;
  EXPECT_EQ(AppUtilis::setDeviceTokenParameter(""), (Body{{"Device-Token", ""}, {"device_uuid", kUuid}}));
  signedIn();
  EXPECT_EQ(AppUtilis::setDeviceTokenParameter("apns-9"),
            (Body{{"Authorization", "token tok-1"}, {"Device-Token", "apns-9"}, {"device_uuid", kUuid}}));
}

TEST_F(RequestTest, GetUserQuery) {
  EXPECT_EQ(AppUtilis::getUserURL("U1"),
            "/v3/user/?user_id=U1&brand=Linux&model=iPhone11&os_version=12&sdk_version=0.0.5");
  EXPECT_EQ(AppUtilis::getUserURL(""), "/v3/user/?user_id=&brand=Linux&model=iPhone11&os_version=12&sdk_version=0.0.5");
  simulating("iPad8,9");
  EXPECT_EQ(AppUtilis::getUserURL("U1"),
            "/v3/user/?user_id=U1&brand=Linux&model=iPadPro11%222ndgen&os_version=12&sdk_version=0.0.5");
}

TEST_F(RequestTest, GetUserQueryEncodesEveryValue) {
  const std::pair<const char*, const char*> cases[] = {
      {"Az09-._~", "Az09-._~"},        // unreserved characters stay
      {"a b  c", "abc"},               // blanks are dropped, not encoded
      {"x&admin=1", "x%26admin%3D1"},  // cannot add a parameter
      {"#frag", "%23frag"},            // cannot end the query
      {"50%", "50%25"},
      {"o'neil\"", "o%27neil%22"},
      {"\xC3\xA9t\xC3\xA9", "%C3%A9t%C3%A9"},  // "été", by its UTF-8 bytes
      {"tab\there", "tab%09here"},
      {"a/b?c+d", "a%2Fb%3Fc%2Bd"},
  };
  for (auto [raw, encoded] : cases) {
    const std::string url = AppUtilis::getUserURL(raw);
    EXPECT_EQ(url, std::string("/v3/user/?user_id=") + encoded +
                       "&brand=Linux&model=iPhone11&os_version=12&sdk_version=0.0.5")
        << raw;
  }
  platform::Device::setUname(platform::Device::Uname{"My&OS", "1", "x86_64"});
  std::filesystem::remove(root_ + "/etc/os-release");
  EXPECT_EQ(AppUtilis::getUserURL("U1"),
            "/v3/user/?user_id=U1&brand=My%26OS&model=iPhone11&os_version=1&sdk_version=0.0.5");
}

TEST_F(RequestTest, TripBodies) {
  platform::Clock::useVirtual(at(1700000000.5));
  const std::string now = "2023-11-14T22:13:20.500Z";
  SharedUtil::setDefaultString("U1", kUserId);

  struct Case {
    Trip trip;
    std::optional<std::string> description;
    std::optional<std::string> time;
    json added;
  };
  const Case cases[] = {
      {Trip::Start, std::nullopt, std::nullopt, {{"start", true}, {"trip_started_at", now}}},
      {Trip::Start, "Morning", "", {{"start", true}, {"trip_started_at", now}, {"description", "Morning"}}},
      {Trip::Start, "", "yesterday", {{"start", true}, {"trip_started_at", "yesterday"}}},
      {Trip::End, "Done", std::nullopt, {{"end", true}, {"trip_ended_at", now}, {"description", "Done"}}},
      {Trip::ForceEnd, "Done", std::nullopt, {{"end", true}, {"trip_ended_at", now}, {"description", "Done"}}},
      {Trip::End,
       std::nullopt,
       "2020-01-01T00:00:00.000Z",
       {{"end", true}, {"trip_ended_at", "2020-01-01T00:00:00.000Z"}}},
      {Trip::Pause, "ignored", "ignored", {{"trip_pause", true}}},
      {Trip::Resume, "ignored", std::nullopt, {{"trip_resume", true}}},
      {Trip::Delete, std::nullopt, "ignored", {{"trip_delete", true}}},
      {Trip::Sync, "ignored", "ignored", {{"trip_sync", true}}},
  };
  for (const auto& c : cases) {
    json expected = {{"user_id", "U1"}, {"version", "v2"}, {"trip_id", "T9"}, {"location_id", "L1"}};
    expected.update(c.added);
    EXPECT_EQ(AppUtilis::tripParameter(c.trip, "T9", "L1", c.description, c.time), expected)
        << rawValue(c.trip) << " " << c.description.value_or("-") << " " << c.time.value_or("-");
  }

  SharedUtil::removeKey(kUserId);
  EXPECT_EQ(AppUtilis::tripParameter(Trip::Pause, "T9", ""),
            json::parse(R"({"user_id": "", "version": "v2", "trip_id": "T9", "location_id": "", "trip_pause": true})"));
}

TEST_F(RequestTest, LocationCountBody) {
  platform::Clock::useVirtual(at(1700000000.0));
  EXPECT_EQ(AppUtilis::locationCountParameter(), json::parse(R"({
    "type": "location_tracker", "started_at": "2023-11-14T22:13:20.000Z",
    "ended_at": "2023-11-14T22:13:20.000Z", "count": 0})"));

  SharedUtil::setDefaultDate(at(1700000000.0 - 300.25), KLocationCountStartedDate);
  SharedUtil::setDefaultInteger(42, KLocationCountSDK);
  SharedUtil::setDefaultString("U1", kUserId);
  EXPECT_EQ(AppUtilis::locationCountParameter(), json::parse(R"({
    "type": "location_tracker", "started_at": "2023-11-14T22:08:19.750Z",
    "ended_at": "2023-11-14T22:13:20.000Z", "count": 42, "user_id": "U1"})"));
}

TEST_F(RequestTest, AppAndDeviceIdentifiers) {
  EXPECT_EQ(AppUtilis::getBundle(), "org.example.host");
  platform::AppInfo::setBundleId(std::nullopt);
  EXPECT_EQ(AppUtilis::getBundle(), platform::AppInfo::executableName());

  platform::AppInfo::setBundleId("org.example.host");
  EXPECT_EQ(AppUtilis::getUUID(), kUuid);

  EXPECT_EQ(AppUtilis::getAppContext(), "active");
  std::string state;
  device::links::applicationState.set([&] { return state; });
  for (auto [given, expected] : {std::pair{"active", "active"},
                                 {"background", "background"},
                                 {"inactive", "inactive"},
                                 {"", "inactive"},
                                 {"suspended", "inactive"}}) {
    state = given;
    EXPECT_EQ(AppUtilis::getAppContext(), expected) << given;
  }
}

}  // namespace
}  // namespace pelk::test
