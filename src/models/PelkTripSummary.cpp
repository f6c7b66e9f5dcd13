#include "pelk/PelkTripSummary.h"

#include "models/ModelReading.h"

namespace pelk {

std::shared_ptr<PelkTripSummaryRoute> PelkTripSummaryRoute::fromDictionary(const nlohmann::json& dictionary) {
  models::Reader in(dictionary);
  if (!in.ok()) return nullptr;
  std::shared_ptr<PelkTripSummaryRoute> r(new PelkTripSummaryRoute());
  r->activity_ = in.text("activity");
  r->altitude_ = in.float64OrZero("altitude");
  r->elevationGain_ = in.float64OrZero("elevation_gain");
  r->distance_ = in.float64OrZero("distance");
  r->duration_ = in.int64OrZero("duration");
  r->recordedAt_ = in.text("recorded_at");
  r->coordinates_ = in.coordinates("coordinates");
  return r;
}

std::shared_ptr<PelkTripSummary> PelkTripSummary::fromDictionary(const nlohmann::json& dictionary) {
  models::Reader in(dictionary);
  if (!in.ok()) return nullptr;
  std::shared_ptr<PelkTripSummary> s(new PelkTripSummary());
  s->distanceCovered_ = in.float64OrZero("distance_covered");
  s->duration_ = in.int64OrZero("duration");
  s->totalElevationGain_ = in.float64OrZero("total_elevation_gain");
  s->projectId_ = in.text("project_id");
  s->tripId_ = in.text("trip_id");
  s->tripStatus_ = in.text("trip_status");
  s->userId_ = in.text("user_id");
  s->route_ = in.children<PelkTripSummaryRoute>("route");
  if (!in.ok()) return nullptr;  // a route point never refuses an object; kept for symmetry
  return s;
}

std::shared_ptr<PelkTripSummary> PelkTripSummary::fromDictionary(
    const nlohmann::json& dictionary, std::vector<std::shared_ptr<PelkTripSummaryRoute>> builtRoute) {
  auto s = fromDictionary(dictionary);
  if (s) models::replaceWithBuilt(s->route_, std::move(builtRoute));
  return s;
}

}  // namespace pelk
