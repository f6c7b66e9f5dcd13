// A long time offline: 10 000 positions wait in the buffer while the broker
// is away, and all of them reach the service side once it is back.

#include <chrono>
#include <iostream>
#include <set>
#include <string>

#include <SQLiteCpp/SQLiteCpp.h>

#include "FaultFixture.h"
#include "messaging/MessagingFixture.h"
#include "storage/StorageFixture.h"
#include "support/FixBuilder.h"

namespace pelk::test {
namespace {

using namespace std::chrono_literals;

class OfflineBacklogTest : public MessagingTest {};

TEST_F(OfflineBacklogTest, TenThousandBufferedPositionsAreAllDeliveredWhenTheBrokerIsBack) {
  constexpr int kPositions = 10000;
  MosquittoBroker broker({.users = {}, .persistence = true});
  PositionTally service(broker, "locations/a1/p1/u1");
  ASSERT_TRUE(service.waitSubscribed());
  TokenManager::setPubSubState(true);
  SharedUtil::setDefaultBoolean(true, KLocationPublisher);
  broker.stop();

  // The backlog, stored by the buffer's own insert into the store the kit
  // replays.  One outer transaction and fixed device readings keep the set-up
  // short: each insert on its own waits for the disk, and each reading of
  // the host's devices reads files.
  std::set<std::string> stored;
  FixedDevice device;
  MQTTDataStorageManager filler(buffer_->context(), &device);
  const auto fillStart = std::chrono::steady_clock::now();
  ASSERT_TRUE(filler.context()->write([&](SQLite::Database&) {
    for (int i = 0; i < kPositions; ++i) {
      const platform::Location fix = FixBuilder(45.0 + i * 1e-5, 7.4).accuracy(5);
      const std::string id = "backlog-" + std::to_string(i);
      if (filler.saveLocationData({fix, "M", false, 3, id})) stored.insert(id);
    }
  }));
  const auto fillMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - fillStart).count();
  ASSERT_EQ(stored.size(), static_cast<std::size_t>(kPositions));
  ASSERT_EQ(buffer_->getOfflineLocationCount(), kPositions);

  // The kit tries to connect while the broker is away, then it comes back.
  ASSERT_TRUE(MQTTUtilis::saveMqttEndpoint(broker.wsUrl()));
  manager().connect();
  ASSERT_TRUE(broker.start());
  const auto back = std::chrono::steady_clock::now();
  const bool drained =
      waitFor([&] { return buffer_->getOfflineLocationCount() == 0 && service.unique() >= stored.size(); }, 120s);
  const auto drainMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - back).count();

  const auto f = service.figures();
  const std::size_t lost = service.missing(stored).size();
  std::cout << "[" << buildFlavour() << "] offline backlog: buffered " << stored.size() << " (stored in " << fillMs
            << " ms), " << f << ", lost " << lost << ", left in the buffer " << buffer_->getOfflineLocationCount()
            << "; drained " << drainMs << " ms after the broker was back ("
            << (drainMs > 0 ? f.replayed * 1000 / static_cast<std::size_t>(drainMs) : 0) << " positions/s)\n";
  EXPECT_TRUE(drained);
  EXPECT_EQ(lost, 0u);
  EXPECT_EQ(service.strangers(stored), 0u);
  EXPECT_LE(f.duplicates, static_cast<std::size_t>(MQTTDataStorageManager::kPageSize));
  EXPECT_LE(f.largestPage, static_cast<std::size_t>(MQTTDataStorageManager::kPageSize));
}

}  // namespace
}  // namespace pelk::test
