#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "StorageFixture.h"
#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"
#include "storage/MQTTDataStorageManager.h"
#include "storage/PelkCoreDataStack.h"

namespace pelk {
namespace {

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

class HostileVisitTimeTest : public test::SettingsTest {
 protected:
  MidwayDevice device_;
};

}  // namespace

// A stationary position takes the stored visit time; a newer visit time
// stored while that position is on its way into the buffer is the next
// position's, and stays.  Without one, the used visit time goes once stored.
TEST_F(HostileVisitTimeTest, VisitTimeStoredMeanwhileIsKeptForTheNextPosition) {
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

}  // namespace pelk
