#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Location.h"

namespace pelk {

// One position the kit took, as it travels from the mode that took it to the
// location sink, the live message and the buffers.  Built once where the
// position is made and passed whole.  Every member has a value, so a brace list
// may stop after the ones that differ from the defaults.
struct TrackedPosition {
  platform::Location fix{};
  // "M" moving or "S" stationary.
  std::string activity{};
  // True only for the app-requested current-location update.
  bool manual = false;
  // Whole km/h.
  std::int64_t speed = 0;
  // Absent or empty: the message or the buffer row takes a new id.
  std::optional<std::string> locationId{};
  // Only trip actions give one; absent or empty: the moment the message or
  // row is made (or a stored visit time, for a buffered stationary position).
  std::optional<std::string> recordedAt{};
};

}  // namespace pelk
