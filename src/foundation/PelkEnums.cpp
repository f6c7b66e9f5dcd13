#include "pelk/PelkEnums.h"

#include <array>

namespace pelk {
namespace {

constexpr std::array<const char*, 9> kErrorCodeTexts = {"QB402", "QB500", "QB408", "QB412", "QB413",
                                                        "QB414", "QB415", "QB416", "QB417"};

template <class E>
std::optional<E> inRange(std::int64_t raw, std::int64_t lo, std::int64_t hi) {
  if (raw < lo || raw > hi) return std::nullopt;
  return static_cast<E>(raw);
}

}  // namespace

std::string rawValue(ErrorCode code) { return kErrorCodeTexts[static_cast<std::size_t>(code)]; }

std::optional<PelkTrackingMode> pelkTrackingModeFromRawValue(std::int64_t raw) {
  return inRange<PelkTrackingMode>(raw, 1, 4);
}
std::optional<PelkTrackingModeLocal> pelkTrackingModeLocalFromRawValue(std::int64_t raw) {
  return inRange<PelkTrackingModeLocal>(raw, 0, 4);
}
std::optional<PelkTrackingState> pelkTrackingStateFromRawValue(std::int64_t raw) {
  return inRange<PelkTrackingState>(raw, 0, 2);
}
std::optional<PelkSubscribe> pelkSubscribeFromRawValue(std::int64_t raw) { return inRange<PelkSubscribe>(raw, 0, 2); }
std::optional<Trip> tripFromRawValue(std::int64_t raw) { return inRange<Trip>(raw, 0, 6); }

std::optional<ErrorCode> errorCodeFromRawValue(std::string_view raw) {
  for (std::size_t i = 0; i < kErrorCodeTexts.size(); ++i) {
    if (raw == kErrorCodeTexts[i]) return static_cast<ErrorCode>(i);
  }
  return std::nullopt;
}

}  // namespace pelk
