#pragma once

#include <cstdint>
#include <optional>

namespace pelk {

// The accuracy the custom mode asks of the location service.  Raw values are
// stable: the C interface passes them as numbers.
enum class LocationAccuracy : std::int64_t {
  bestForNavigation = 0,
  best = 1,
  nearestTenMeters = 2,
  hundredMeters = 3,
  kilometer = 4,
  other = 5,
};

// The case of that raw value, or nothing outside 0..5.
std::optional<LocationAccuracy> locationAccuracyFromRawValue(std::int64_t raw);

// The kind of movement the app expects, a hint for the location service.  Raw
// values are stable (1..5).
enum class LocationActivityType : std::int64_t {
  other = 1,
  automotiveNavigation = 2,
  fitness = 3,
  otherNavigation = 4,
  airborne = 5,
};

// The case of that raw value, or nothing outside 1..5.
std::optional<LocationActivityType> locationActivityTypeFromRawValue(std::int64_t raw);

// The app's choice, option by option, of how the custom tracking mode uses the
// location service.  Every option starts absent: the app made no choice.
// Handed by value to Pelk::startTracking; the kit keeps its own copy and also
// stores it, so later restarts of tracking run with the same choice.
//
// How the custom mode reads an absent option: an absent switch is off, an
// absent geofence radius is 100 m, and a setting of the location service that
// no option names keeps its current value.
struct PelkTrackingCustomMethods {
  std::optional<LocationAccuracy> desiredAccuracy;
  // Visit monitoring, when standard location services are not chosen.
  std::optional<bool> useVisits;
  std::optional<bool> showsBackgroundLocationIndicator;
  // Metres a position must move before the next is reported; a value that is
  // not a finite number is ignored.
  std::optional<double> distanceFilter;
  // Significant-change monitoring, when standard location services are not chosen.
  std::optional<bool> useSignificant;
  // A region around the newest position, when standard location services are
  // not chosen; false clears the kit's regions with each position.
  std::optional<bool> useRegionMonitoring;
  // The region's radius is geofenceRadius when true, otherwise 100 m.
  std::optional<bool> useDynamicGeofencRadius;
  std::optional<std::int64_t> geofenceRadius;  // metres
  std::optional<bool> allowBackgroundLocationUpdates;
  std::optional<LocationActivityType> activityType;
  std::optional<bool> pausesLocationUpdatesAutomatically;
  // True keeps visits, significant changes and regions off.
  std::optional<bool> useStandardLocationServices;
  // Largest accepted horizontal accuracy (metres) while the accuracy engine is on.
  std::optional<std::int64_t> accuracyFilter;
  // Seconds; above 0 the mode sends one position per interval instead of
  // continuous updates.
  std::optional<std::int64_t> updateInterval;

  // Fills the thirteen options other than updateInterval at once; each becomes
  // present with the given value (a false switch is present, not absent).
  void setUpCustomOptions(LocationAccuracy desiredAccuracy, bool useVisit, bool showsBackgroundLocationIndicator,
                          double distanceFilter, bool useSignificant, bool useRegionMonitoring,
                          bool useDynamicGeofencRadius, std::int64_t geofenceRadius,
                          bool allowBackgroundLocationUpdates, LocationActivityType activityType,
                          bool pausesLocationUpdatesAutomatically, bool useStandardLocationServices,
                          std::int64_t accuracyFilter);

  bool operator==(const PelkTrackingCustomMethods&) const = default;
};

}  // namespace pelk
