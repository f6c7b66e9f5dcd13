#include "pelk/PelkLocation.h"

#include "models/ModelReading.h"

namespace pelk {

std::shared_ptr<PelkLocationReceived> PelkLocationReceived::fromDictionary(const nlohmann::json& dictionary) {
  models::Reader in(dictionary);
  if (!in.ok()) return nullptr;
  std::shared_ptr<PelkLocationReceived> m(new PelkLocationReceived());
  m->activity_ = in.text("activity");
  m->altitude_ = in.float64("altitude");
  m->course_ = in.float64("course");
  m->eventSource_ = in.text("event_source");
  m->eventType_ = in.text("event_type");
  m->eventVersion_ = in.text("event_version");
  m->horizontalAccuracy_ = in.float64("horizontal_accuracy");
  m->locationId_ = in.text("location_id");
  m->recordedAt_ = in.text("recorded_at");
  m->speed_ = in.int64("speed");
  m->userId_ = in.text("user_id");
  m->verticalAccuracy_ = in.float64("vertical_accuracy");
  // The position travels as {"coordinates": {"coordinates": [longitude, ..., latitude]}}.
  // An empty list names no position: both stay null.
  if (auto list = in.coordinates("coordinates"); list && !list->empty()) {
    m->longitude_ = PelkNumber::ofDouble(list->front());
    m->latitude_ = PelkNumber::ofDouble(list->back());
  }
  return m;
}

}  // namespace pelk
