#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pelk {

// The tracking mode the app asks for.  The app may hand over any integer; it is
// kept as given, so every user of a value needs a fallback.
enum class PelkTrackingMode : std::int64_t { passive = 1, balanced = 2, active = 3, custom = 4 };

// The tracking mode as the kit keeps it; 0 means none chosen yet.
enum class PelkTrackingModeLocal : std::int64_t { notselected = 0, passive = 1, balanced = 2, active = 3, custom = 4 };

// The app states in which tracking runs.
enum class PelkTrackingState : std::int64_t { foregroundAndBackground = 0, foregroundOnly = 1, backgroundOnly = 2 };

// What a subscription covers.
enum class PelkSubscribe : std::int64_t { eventsAndLocation = 0, location = 1, events = 2 };

// Trip actions.
enum class Trip : std::int64_t { Start = 0, Pause = 1, Resume = 2, End = 3, ForceEnd = 4, Delete = 5, Sync = 6 };

// Error codes the kit puts into PelkError::code().
enum class ErrorCode { QB402, QB500, QB408, QB412, QB413, QB414, QB415, QB416, QB417 };

template <class E>
constexpr std::int64_t rawValue(E e) {
  return static_cast<std::int64_t>(e);
}
std::string rawValue(ErrorCode code);

// Construction from a raw value: the case with that raw value, or nothing.
std::optional<PelkTrackingMode> pelkTrackingModeFromRawValue(std::int64_t raw);
std::optional<PelkTrackingModeLocal> pelkTrackingModeLocalFromRawValue(std::int64_t raw);
std::optional<PelkTrackingState> pelkTrackingStateFromRawValue(std::int64_t raw);
std::optional<PelkSubscribe> pelkSubscribeFromRawValue(std::int64_t raw);
std::optional<Trip> tripFromRawValue(std::int64_t raw);
std::optional<ErrorCode> errorCodeFromRawValue(std::string_view raw);

}  // namespace pelk
