#include "pelk/PelkGetTrip.h"

#include "models/ModelReading.h"

namespace pelk {

std::shared_ptr<PelkGetTrip> PelkGetTrip::fromDictionary(const nlohmann::json& dictionary) {
  models::Reader in(dictionary);
  std::shared_ptr<PelkGetTrip> t(new PelkGetTrip());
  t->createdAt_ = in.text("created_at");
  t->distanceCovered_ = in.float64OrZero("distance_covered");
  t->duration_ = in.float32OrZero("duration");
  t->tripId_ = in.text("id");
  t->isDeleted_ = in.requiredBoolean("is_deleted");
  t->isPaused_ = in.boolean("is_paused");
  t->isEnded_ = in.requiredBoolean("is_ended");
  t->isStarted_ = in.requiredBoolean("is_started");
  t->projectId_ = in.text("project_id");
  t->tripEndedAt_ = in.text("trip_ended_at");
  t->tripStartedAt_ = in.text("trip_started_at");
  t->updatedAt_ = in.text("updated_at");
  t->userId_ = in.text("user_id");
  t->destinations_ = in.children<PelkTripDestination>("destinations");
  t->events_ = in.children<PelkTripEvent>("events");
  t->origins_ = in.children<PelkTripOrigin>("origins");
  if (!in.ok()) return nullptr;
  return t;
}

std::shared_ptr<PelkGetTrip> PelkGetTrip::fromDictionary(const nlohmann::json& dictionary,
                                                         std::vector<std::shared_ptr<PelkTripEvent>> builtEvents) {
  auto t = fromDictionary(dictionary);
  if (t) models::replaceWithBuilt(t->events_, std::move(builtEvents));
  return t;
}

}  // namespace pelk
