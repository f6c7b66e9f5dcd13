#include "pelk/PelkTripEvent.h"

#include "models/ModelReading.h"

namespace pelk {

std::shared_ptr<PelkTripEvent> PelkTripEvent::fromDictionary(const nlohmann::json& dictionary) {
  models::Reader in(dictionary);
  std::shared_ptr<PelkTripEvent> e(new PelkTripEvent());
  e->createdAt_ = in.text("created_at");
  e->eventType_ = in.text("event_type");
  e->id_ = in.text("id");
  e->isDeleted_ = in.requiredBoolean("is_deleted");
  e->tripId_ = in.text("trip_id");
  e->userId_ = in.text("user_id");
  e->userLocationId_ = in.text("user_location_id");
  if (!in.ok()) return nullptr;
  return e;
}

}  // namespace pelk
