#include "pelk/PelkCreateTrip.h"

#include "models/ModelReading.h"

namespace pelk {

std::shared_ptr<PelkCreateTrip> PelkCreateTrip::fromDictionary(const nlohmann::json& dictionary) {
  models::Reader in(dictionary);
  std::shared_ptr<PelkCreateTrip> t(new PelkCreateTrip());
  t->createdAt_ = in.text("created_at");
  t->tripId_ = in.text("id");
  t->isDeleted_ = in.requiredBoolean("is_deleted");
  t->isEnded_ = in.requiredBoolean("is_ended");
  t->isStarted_ = in.requiredBoolean("is_started");
  t->tripTrackingUrl_ = in.text("trip_tracking_url");
  t->updatedAt_ = in.text("updated_at");
  t->userId_ = in.text("user_id");
  t->destinations_ = in.children<PelkTripDestination>("destinations");
  t->origins_ = in.children<PelkTripOrigin>("origins");
  if (!in.ok()) return nullptr;
  return t;
}

}  // namespace pelk
