#include "pelk/PelkUser.h"

#include "models/ModelReading.h"

namespace pelk {

std::shared_ptr<PelkUser> PelkUser::fromDictionary(const nlohmann::json& dictionary) {
  models::Reader body(dictionary);
  models::Reader data = body.requiredObject("data");
  std::shared_ptr<PelkUser> user(new PelkUser());
  user->userId_ = data.requiredText("user_id");
  user->userDescription_ = data.text("description");
  user->geofenceEvents_ = data.requiredBoolean("geofence_events");
  user->locationEvents_ = data.requiredBoolean("location_events");
  user->tripsEvents_ = data.requiredBoolean("trips_events");
  user->nearbyEvents_ = data.requiredBoolean("nearby_events");
  user->eventsListener_ = data.requiredBoolean("event_listener");
  user->locationListener_ = data.requiredBoolean("location_listener");
  user->account_id_ = data.textOrEmpty("account_id");
  user->project_id_ = data.textOrEmpty("project_id");
  if (!body.ok() || !data.ok()) return nullptr;
  return user;
}

}  // namespace pelk
