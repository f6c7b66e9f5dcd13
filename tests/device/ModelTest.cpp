#include "device/Model.h"

#include <map>
#include <set>

#include <gtest/gtest.h>

#include "device/DeviceFixture.h"

namespace pelk::test {
namespace {

TEST(ModelTable, EveryModelButUnrecognizedHasIdentifiersAndNoneRepeats) {
  const auto& table = hardwareIdentifierTable();
  EXPECT_EQ(table.size(), 138u);
  EXPECT_EQ(allModels().size(), 72u);

  std::set<std::string> ids;
  std::map<Model, int> perModel;
  for (const auto& [id, model] : table) {
    EXPECT_TRUE(ids.insert(id).second) << "repeated " << id;
    ++perModel[model];
  }
  for (Model m : allModels()) {
    if (m == Model::unrecognized) {
      EXPECT_EQ(perModel.count(m), 0u);
    } else {
      EXPECT_GT(perModel[m], 0) << rawValue(m);
    }
  }
  // Display names are unique, so each reads back to its own case.
  for (Model m : allModels()) EXPECT_EQ(modelFromRawValue(rawValue(m)), m) << rawValue(m);
}

TEST(ModelTable, IdentifierLookups) {
  struct Case {
    const char* id;
    const char* name;
  };
  const Case cases[] = {
      {"iPhone12,1", "iPhone 11"},
      {"iPad4,1", "iPad Air "},
      {"iPad8,9", "iPad Pro 11\" 2nd gen"},
      {"iPad3,4", "iPad 4"},
      {"iPod7,1", "iPod 6"},
      {"iPhone7,1", "iPhone 6 Plus"},
      {"iPhone7,2", "iPhone 6"},
      {"iPhone12,8", "iPhone SE 2nd gen"},
      {"AppleTV5,3", "Apple TV 4gen"},
      {"Watch5,10", "Apple Watch Special Edition"},
      {"Watch1,1", "Apple Watch 1gen"},
      {"iPad13,2", "iPad Air 4"},
      {"i386", "simulator/sandbox"},
  };
  for (const auto& c : cases) {
    auto m = modelForHardwareIdentifier(c.id);
    ASSERT_TRUE(m) << c.id;
    EXPECT_EQ(rawValue(*m), c.name) << c.id;
  }
  EXPECT_EQ(rawValue(*modelForHardwareIdentifier("iPad8,9")).size(), 20u);
  for (const char* unknown : {"iphone12,1", "IPHONE12,1", "iPhone14,2", "iPhone12,1 ", "", "aarch64"}) {
    EXPECT_EQ(modelForHardwareIdentifier(unknown), std::nullopt) << unknown;
  }
}

TEST(ModelTable, InchMarkNamesAndRawValueConstruction) {
  const std::pair<Model, std::size_t> lengths[] = {
      {Model::iPadPro9_7, 13},  {Model::iPadPro10_5, 14},   {Model::iPadPro11, 12},     {Model::iPadPro2_11, 20},
      {Model::iPadPro12_9, 14}, {Model::iPadPro2_12_9, 16}, {Model::iPadPro3_12_9, 16}, {Model::iPadPro4_12_9, 16},
  };
  for (auto [m, length] : lengths) {
    EXPECT_EQ(rawValue(m).size(), length) << rawValue(m);
    EXPECT_NE(rawValue(m).find('"'), std::string::npos);
  }
  EXPECT_EQ(rawValue(Model::iPadAir).size(), 9u);
  EXPECT_EQ(modelFromRawValue("iPad Air "), Model::iPadAir);
  EXPECT_EQ(modelFromRawValue("iPad Air"), std::nullopt);
  EXPECT_EQ(modelFromRawValue("?unrecognized?"), Model::unrecognized);
  EXPECT_EQ(modelFromRawValue("iphone 11"), std::nullopt);
}

TEST_F(DeviceTest, DeviceTypeFromMachineAndSimulatedModel) {
  struct Case {
    const char* machine;
    std::optional<std::string> simulated;
    Model expected;
  };
  const Case cases[] = {
      {"x86_64", std::nullopt, Model::simulator},
      {"x86_64", "iPhone13,2", Model::iPhone12},
      {"i386", "iPad8,9", Model::iPadPro2_11},
      {"x86_64", "Pixel 7", Model::simulator},        // outside the table: still the simulator
      {"iPhone12,1", "iPhone13,2", Model::iPhone11},  // real hardware ignores the variable
      {"aarch64", std::nullopt, Model::unrecognized},
      {"armv7l", "iPhone13,2", Model::unrecognized},
  };
  for (const auto& c : cases) {
    machine(c.machine);
    if (c.simulated) {
      simulating(*c.simulated);
    } else {
      platform::Device::setEnvironment(std::map<std::string, std::string>{});
    }
    EXPECT_EQ(deviceType(), c.expected) << c.machine << " " << c.simulated.value_or("-");
  }
}

}  // namespace
}  // namespace pelk::test
