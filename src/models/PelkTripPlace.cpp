#include "pelk/PelkTripPlace.h"

#include "models/ModelReading.h"

namespace pelk {

bool PelkTripPlace::read(const nlohmann::json& dictionary) {
  models::Reader in(dictionary);
  if (!in.ok()) return false;
  createdAt_ = in.text("created_at");
  id_ = in.text("id");
  locType_ = in.text("loc_type");
  reached_ = in.boolean("reached");
  tripId_ = in.text("trip_id");
  updatedAt_ = in.text("updated_at");
  coordinates_ = in.coordinates("coordinates");
  return true;
}

std::shared_ptr<PelkTripOrigin> PelkTripOrigin::fromDictionary(const nlohmann::json& dictionary) {
  std::shared_ptr<PelkTripOrigin> p(new PelkTripOrigin());
  if (!p->read(dictionary)) return nullptr;
  return p;
}

std::shared_ptr<PelkTripDestination> PelkTripDestination::fromDictionary(const nlohmann::json& dictionary) {
  std::shared_ptr<PelkTripDestination> p(new PelkTripDestination());
  if (!p->read(dictionary)) return nullptr;
  return p;
}

}  // namespace pelk
