#include "tracking/LocationDataManager.h"

#include <functional>
#include <memory>
#include <utility>

#include "foundation/DateExtensions.h"
#include "foundation/TokenManager.h"
#include "storage/PelkTripStorageManager.h"
#include "tracking/TrackingFixture.h"

namespace pelk::test {
namespace {

class LocationSinkTest : public TrackingTest {};

TEST_F(LocationSinkTest, EachStateOfPublisherNetworkAndConnectionTakesItsRoad) {
  struct Case {
    const char* name;
    bool publisher, appStateAllows, online, offlineTracking, connected, publishResult;
    std::size_t delivered, published;
    std::int64_t buffered;
    int stops;
    int pauses = 0;
  };
  const Case cases[] = {
      {"not publisher: app only", false, true, true, false, true, true, 1, 0, 0, 0},
      {"published live", true, true, true, false, true, true, 1, 1, 0, 0},
      {"publish failed: buffered", true, true, true, false, true, false, 1, 0, 1, 0},
      {"not connected: buffered", true, true, true, false, false, true, 1, 0, 1, 0},
      {"offline, offline tracking on: buffered", true, true, false, true, true, true, 1, 0, 1, 0},
      {"offline, offline tracking off: stop", true, true, false, false, true, true, 1, 0, 0, 1},
      // Tracking for the other app state pauses; it is not stopped.
      {"app state refuses: pause, no delegate", true, false, true, false, true, true, 0, 0, 0, 0, 1},
  };
  // An ongoing local trip is advanced by every position, whatever road it takes.
  auto& trips = PelkTripStorageManager::shared();
  trips.saveTripData(fixAt(52.4, 13.4, 10), 0, iso8601(platform::Clock::now()), 0, std::nullopt, "ongoing", "t1");
  const auto countOf = [&] { return trips.getTripData("t1").value().location_count; };
  const auto startCount = countOf();
  int positions = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    buffer_->deleteAllRecords();
    {
      std::lock_guard lock(rec_->mutex);
      rec_->delivered.clear();
      rec_->published.clear();
      rec_->stops = 0;
      rec_->pauses = 0;
      rec_->appStateAllows = c.appStateAllows;
      rec_->connected = c.connected;
      rec_->publishResult = c.publishResult;
    }
    SharedUtil::setDefaultBoolean(c.publisher, KLocationPublisher);
    SharedUtil::setDefaultBoolean(c.offlineTracking, kOfflineTracking);
    setOnline(c.online);
    LocationDataManager::sharedInstance().sendDataServer(
        {fixAt(52.5, 13.4, 10), kMoving, false, 12, "0123456789abcdef01234567"});
    EXPECT_EQ(deliveredCount(), c.delivered);
    EXPECT_EQ(publishedCount(), c.published);
    EXPECT_EQ(buffer_->getOfflineLocationCount(), c.buffered);
    EXPECT_EQ(stops(), c.stops);
    EXPECT_EQ(pauses(), c.pauses);
    EXPECT_EQ(countOf(), startCount + ++positions);
  }
}

TEST_F(LocationSinkTest, PublishedMessageCarriesTheLocationId) {
  SharedUtil::setDefaultBoolean(true, KLocationPublisher);
  LocationDataManager::sharedInstance().sendDataServer(
      {fixAt(52.5, 13.4, 10), kMoving, false, 12, "0123456789abcdef01234567"});
  ASSERT_EQ(publishedCount(), 1u);
  std::lock_guard lock(rec_->mutex);
  EXPECT_NE(rec_->published[0].find("0123456789abcdef01234567"), std::string::npos) << rec_->published[0];
}

// A buffer a test installed goes when its installer lets it go, while a
// client thread may still be answering a failed publish by keeping the row in
// it: the row is kept whole, in the store the buffer wrote to.
TEST_F(LocationSinkTest, AFailedPublishKeepsItsRowWhenTheBufferIsLetGoMeanwhile) {
  class LetGoWhileSaving : public MQTTDataStorageManager {
   public:
    using MQTTDataStorageManager::MQTTDataStorageManager;
    std::function<void()> whileSaving;
    bool saveLocationRow(MqttLocationData row) override {
      if (auto letGo = std::exchange(whileSaving, nullptr)) letGo();
      return MQTTDataStorageManager::saveLocationRow(std::move(row));
    }
  };
  auto installed = std::make_shared<LetGoWhileSaving>(buffer_->context());
  // The installer lets go in the middle of keeping the row.
  installed->whileSaving = [this] { sending::links::offlineBuffer.set([buffer = buffer_] { return buffer; }); };
  sending::links::offlineBuffer.set([installed] { return installed; });
  {
    std::lock_guard lock(rec_->mutex);
    rec_->publishResult = false;
  }
  SharedUtil::setDefaultBoolean(true, KLocationPublisher);
  std::weak_ptr<MQTTDataStorageManager> watched = installed;
  installed.reset();  // the link is its only holder now
  LocationDataManager::sharedInstance().sendDataServer(
      {fixAt(52.5, 13.4, 10), kMoving, false, 12, "0123456789abcdef01234567"});
  EXPECT_TRUE(watched.expired());
  EXPECT_EQ(buffer_->getOfflineLocationCount(), 1);
}

}  // namespace
}  // namespace pelk::test
