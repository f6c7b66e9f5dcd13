#include "pelk/PelkTrip.h"

#include "models/ModelReading.h"

namespace pelk {

std::shared_ptr<PelkTrip> PelkTrip::fromDictionary(const nlohmann::json& dictionary) {
  models::Reader in(dictionary);
  std::shared_ptr<PelkTrip> t(new PelkTrip());
  t->createdAt_ = in.text("created_at");
  t->tripId_ = in.text("id");
  t->deleted_ = in.requiredBoolean("is_deleted");
  t->ended_ = in.requiredBoolean("is_ended");
  t->paused_ = in.booleanWhenPresent("is_paused");
  t->started_ = in.requiredBoolean("is_started");
  t->updatedAt_ = in.text("updated_at");
  t->syncStatus_ = in.text("syncStatus");
  if (!in.ok()) return nullptr;
  return t;
}

}  // namespace pelk
