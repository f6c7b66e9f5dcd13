#include "storage/TripStoreLinks.h"

#include "network/PelkAPIClient.h"

namespace pelk::tripstore {

void links::syncWithServer(const std::string& body, SyncReply reply) {
  PelkAPIClient::sharedInstance().syncTrip(body, std::move(reply));
}

}  // namespace pelk::tripstore
