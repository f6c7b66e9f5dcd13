#include "pelk/PelkEvents.h"

#include "models/ModelReading.h"

namespace pelk {

std::shared_ptr<PelkEvents> PelkEvents::fromDictionary(const nlohmann::json& dictionary) {
  models::Reader in(dictionary);
  if (!in.ok()) return nullptr;
  std::shared_ptr<PelkEvents> e(new PelkEvents());
  e->activity_ = in.text("activity");
  e->altitude_ = in.float64OrZero("altitude");
  e->course_ = in.float64OrZero("course");
  e->createdAt_ = in.text("created_at");
  e->distance_ = in.float64OrZero("distance");
  e->eventSource_ = in.text("event_source");
  e->eventType_ = in.text("event_type");
  e->eventVersion_ = in.text("event_version");
  e->geofenceId_ = in.text("geofence_id");
  e->horizontalAccuracy_ = in.float64OrZero("horizontal_accuracy");
  e->locationId_ = in.text("location_id");
  e->nearbyUserId_ = in.text("nearby_user_id");
  e->recordedAt_ = in.text("recorded_at");
  e->speed_ = in.float64OrZero("speed");
  e->tripId_ = in.text("trip_id");
  e->userId_ = in.text("user_id");
  e->veritcalAccuracy_ = in.float64OrZero("veritcal_accuracy");
  e->coordinates_ = in.coordinates("location");
  return e;
}

}  // namespace pelk
