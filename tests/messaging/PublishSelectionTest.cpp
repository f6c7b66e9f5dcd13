#include <cmath>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "messaging/LocationPublishParameter.h"
#include "messaging/LocationMessageFixture.h"
#include "platform/SettingValue.h"

namespace pelk {
namespace {

using nlohmann::json;

class PublishSelectionTest : public test::LocationMessageTest {
 protected:
  PublishSelectionTest() { broker_.install(); }

  // The switch keys that read true.
  static std::set<std::string> switchesOn() {
    std::set<std::string> on;
    for (const auto& f : LocationPublishParameter::optionFields()) {
      if (SharedUtil::getDefaultBoolean(f.key)) on.insert(f.name);
    }
    return on;
  }
};

TEST_F(PublishSelectionTest, ChoosingWithoutAnObjectClearsEverySwitchAndTurnsThePublisherOn) {
  for (bool save : {true, false}) {
    SCOPED_TRACE(save ? "save" : "publish-only");
    SharedUtil::setDefaultBoolean(true, kLocationPublishspeed);
    SharedUtil::setDefaultDictionary(json{{"old", 1}}, kLocationPublishMeta_data);
    broker_.set(false, true);
    LocationPublishParameter::startPublishing(save, nullptr);
    auto suite = SharedUtil::userDefaultValue();
    for (const auto& f : LocationPublishParameter::optionFields()) {
      auto v = suite->value(f.key);
      ASSERT_TRUE(v) << f.key;
      EXPECT_EQ(v->boolValue(), std::optional<bool>(false)) << f.key;
    }
    auto meta = suite->value(kLocationPublishMeta_data);
    ASSERT_TRUE(meta);
    EXPECT_EQ(meta->boolValue(), std::optional<bool>(false));
    EXPECT_EQ(SharedUtil::getDefaultBoolean(kLocationPublishSave), save);
    EXPECT_EQ(SharedUtil::getDefaultBoolean(kLocationPublishOnly), !save);
    EXPECT_TRUE(SharedUtil::getDefaultBoolean(KLocationPublisher));
  }
  // Not connected: each choice asked for a connection, with the publisher on.
  EXPECT_EQ(broker_.calls(), (std::vector<std::string>{"connect (publisher on)", "connect (publisher on)"}));
  broker_.set(true, true);
  LocationPublishParameter::startPublishing(true, nullptr);
  EXPECT_EQ(broker_.calls().size(), 2u) << "connected: no new connect";
}

TEST_F(PublishSelectionTest, EachModeStoresItsOwnFieldsOfTheObject) {
  struct Case {
    const char* name;
    bool save;
    std::vector<bool PelkPublish::*> fields;
    std::set<std::string> stored;
  };
  const Case cases[] = {
      {"save ignores standard fields", true, {&PelkPublish::user_id, &PelkPublish::speed}, {}},
      {"save keeps the extras it sends", true, {&PelkPublish::device_model, &PelkPublish::user_id}, {"device_model"}},
      {"save keeps airplane mode", true, {&PelkPublish::airplane_mode}, {"airplane_mode"}},
      {"publish-only keeps every field",
       false,
       {&PelkPublish::course, &PelkPublish::activity, &PelkPublish::airplane_mode, &PelkPublish::os_version,
        &PelkPublish::horizontal_accuracy, &PelkPublish::vertical_accuracy},
       {"course", "activity", "airplane_mode", "os_version", "horizontal_accuracy", "vertical_accuracy"}},
      {"nothing on", false, {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PelkPublish choice;
    for (auto field : c.fields) choice.*field = true;
    LocationPublishParameter::startPublishing(c.save, &choice);
    EXPECT_EQ(switchesOn(), c.stored);
    // The object is read during the call only.
    choice.battery_saver = true;
    EXPECT_EQ(switchesOn(), c.stored);
  }
  // A later choice replaces the whole earlier one.
  PelkPublish speed;
  speed.speed = true;
  LocationPublishParameter::startPublishing(false, &speed);
  EXPECT_EQ(switchesOn(), std::set<std::string>{"speed"});
  LocationPublishParameter::startPublishing(true, nullptr);
  EXPECT_TRUE(switchesOn().empty());
}

TEST_F(PublishSelectionTest, MetaDataIsStoredWithoutTheEntriesThatCannotBeKept) {
  struct Case {
    const char* name;
    std::optional<json> meta;
    json stored;  // {} when nothing is stored
  };
  const Case cases[] = {
      {"absent", std::nullopt, json::object()},
      {"empty", json::object(), json::object()},
      {"plain", json{{"fleet", "north"}, {"n", 3}, {"tags", {"a", "b"}}},
       json{{"fleet", "north"}, {"n", 3}, {"tags", {"a", "b"}}}},
      {"null, NaN and bad text dropped",
       json{{"keep", true}, {"null", nullptr}, {"nan", std::nan("")}, {"text", "\xc3\x28"}, {"deep", {{"x", nullptr}}}},
       json{{"keep", true}}},
      {"not an object", json::array({1, 2}), json::object()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SharedUtil::setDefaultDictionary(json{{"earlier", "choice"}}, kLocationPublishMeta_data);
    PelkPublish choice;
    choice.meta_data = c.meta;
    LocationPublishParameter::startPublishing(false, &choice);
    EXPECT_EQ(SharedUtil::getDefaultDictionary(kLocationPublishMeta_data), c.stored);
  }
}

TEST_F(PublishSelectionTest, StopPublishingTurnsThePublisherOffBeforeItDisconnects) {
  PelkPublish choice;
  choice.course = true;
  LocationPublishParameter::startPublishing(false, &choice);
  broker_.set(true, true);
  LocationPublishParameter::stopPublishing();
  // The disconnect reconnects while the switch is on; it must find it off.
  EXPECT_EQ(broker_.calls(), std::vector<std::string>{"disconnect (publisher off)"});
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(KLocationPublisher));
  EXPECT_EQ(switchesOn(), std::set<std::string>{"course"});
  EXPECT_FALSE(SharedUtil::getDefaultBoolean(kLocationPublishSave));
  EXPECT_TRUE(SharedUtil::getDefaultBoolean(kLocationPublishOnly));

  broker_.set(false, true);
  LocationPublishParameter::stopPublishing();
  EXPECT_EQ(broker_.calls().size(), 1u) << "not connected: nothing to close";
}

// An app's metadata nested far deeper than the settings can keep is dropped
// before anything recursive looks at it (it used to exhaust the stack).
TEST_F(PublishSelectionTest, MetaDataNestedTooDeepIsDropped) {
  auto nested = [](int levels) {
    json value = 1;
    for (int i = 1; i < levels; ++i) {
      json wrap = json::array();
      wrap.push_back(std::move(value));
      value = std::move(wrap);
    }
    return value;
  };
  const int deepest = platform::SettingValue::kMaxDepth - 1;  // inside the stored dictionary
  PelkPublish choice;
  choice.meta_data = json{{"keep", "yes"}, {"deepest", nested(deepest)}};
  (*choice.meta_data)["too deep"] = nested(deepest + 1);
  (*choice.meta_data)["far too deep"] = nested(100000);
  LocationPublishParameter::startPublishing(false, &choice);
  EXPECT_EQ(SharedUtil::getDefaultDictionary(kLocationPublishMeta_data),
            (json{{"keep", "yes"}, {"deepest", nested(deepest)}}));
}

}  // namespace
}  // namespace pelk
