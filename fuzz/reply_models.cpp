// The reply records: every model reader over the object a reply hands on, its
// "data" object and each element of a "data" list, as the client and the local
// trip store read them; then the numbers as an app reads them.
#include <vector>

#include "FuzzSupport.h"
#include "ModelReads.h"
#include "network/APIClient.h"
#include "pelk/PelkCreateTrip.h"
#include "pelk/PelkEvents.h"
#include "pelk/PelkGetTrip.h"
#include "pelk/PelkLocation.h"
#include "pelk/PelkTrip.h"
#include "pelk/PelkTripEvent.h"
#include "pelk/PelkTripPlace.h"
#include "pelk/PelkTripSummary.h"
#include "pelk/PelkUser.h"

using namespace pelk;

namespace {

using fuzz::read;

template <class Place>
void readPlaces(const std::vector<std::shared_ptr<Place>>& places) {
  for (const auto& p : places) {
    if (!p) fuzz::broken();
  }
}

void readAll(const nlohmann::json& object) {
  (void)PelkUser::fromDictionary(object);
  (void)PelkTrip::fromDictionary(object);
  (void)PelkTripEvent::fromDictionary(object);
  (void)PelkTripOrigin::fromDictionary(object);
  (void)PelkTripDestination::fromDictionary(object);
  if (auto created = PelkCreateTrip::fromDictionary(object)) {
    readPlaces(created->origins());
    readPlaces(created->destinations());
  }
  if (auto trip = PelkGetTrip::fromDictionary(object)) {
    read(trip->distanceCovered());
    read(trip->duration());
    readPlaces(trip->origins());
    readPlaces(trip->destinations());
    readPlaces(trip->events());
    // The local store's reading keeps its own built events in place of the
    // dictionary's.
    auto rebuilt = PelkGetTrip::fromDictionary(object, trip->events());
    if (!rebuilt || rebuilt->events() != trip->events()) fuzz::broken();
  }
  if (auto summary = PelkTripSummary::fromDictionary(object)) {
    read(summary->distanceCovered());
    read(summary->duration());
    read(summary->totalElevationGain());
    for (const auto& point : summary->route()) {
      if (!point) fuzz::broken();
      read(point->altitude());
      read(point->elevationGain());
      read(point->distance());
      read(point->duration());
    }
    auto rebuilt = PelkTripSummary::fromDictionary(object, summary->route());
    if (!rebuilt || rebuilt->route() != summary->route()) fuzz::broken();
  }
  (void)PelkTripSummaryRoute::fromDictionary(object);
  if (auto events = PelkEvents::fromDictionary(object)) fuzz::readNumbers(*events);
  if (auto received = PelkLocationReceived::fromDictionary(object)) fuzz::readNumbers(*received);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto reply = APIClient::readReply(fuzz::text(data, size));
  if (!reply) return 0;
  readAll(*reply);
  const auto it = reply->find("data");
  if (it == reply->end()) return 0;
  if (it->is_object()) readAll(*it);
  if (it->is_array()) {
    for (const auto& element : *it) readAll(element);
  }
  return 0;
}
