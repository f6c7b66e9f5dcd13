#include "storage/LocalEntities.h"

#include <cmath>
#include <limits>

#include "storage/EntityMapping.h"

namespace pelk {

std::int16_t saturatingInt16(std::int64_t value) {
  constexpr std::int64_t lo = std::numeric_limits<std::int16_t>::min();
  constexpr std::int64_t hi = std::numeric_limits<std::int16_t>::max();
  if (value < lo) return static_cast<std::int16_t>(lo);
  if (value > hi) return static_cast<std::int16_t>(hi);
  return static_cast<std::int16_t>(value);
}

std::int16_t saturatingInt16(double value) {
  if (std::isnan(value)) return 0;
  if (value <= std::numeric_limits<std::int16_t>::min()) return std::numeric_limits<std::int16_t>::min();
  if (value >= std::numeric_limits<std::int16_t>::max()) return std::numeric_limits<std::int16_t>::max();
  return static_cast<std::int16_t>(value);
}

#define PELK_ENTITY_NAMES(E)                                                      \
  const std::vector<std::string>& E::attributeNames() {                           \
    static const std::vector<std::string> names = storage::attributeNamesOf<E>(); \
    return names;                                                                 \
  }

PELK_ENTITY_NAMES(HttpLocationData)
PELK_ENTITY_NAMES(MqttLocationData)
PELK_ENTITY_NAMES(MyTrip)
PELK_ENTITY_NAMES(MyTripRoute)
PELK_ENTITY_NAMES(TripsLocal)
PELK_ENTITY_NAMES(TripEventsLocal)

#undef PELK_ENTITY_NAMES

nlohmann::json HttpLocationData::dictionary() const { return storage::dictionaryOf(*this); }

nlohmann::json MqttLocationData::dictionary() const { return storage::dictionaryOf(*this); }

}  // namespace pelk
