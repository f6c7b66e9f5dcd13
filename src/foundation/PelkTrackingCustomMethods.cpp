#include "pelk/PelkTrackingCustomMethods.h"

namespace pelk {

std::optional<LocationAccuracy> locationAccuracyFromRawValue(std::int64_t raw) {
  if (raw < 0 || raw > 5) return std::nullopt;
  return static_cast<LocationAccuracy>(raw);
}

std::optional<LocationActivityType> locationActivityTypeFromRawValue(std::int64_t raw) {
  if (raw < 1 || raw > 5) return std::nullopt;
  return static_cast<LocationActivityType>(raw);
}

void PelkTrackingCustomMethods::setUpCustomOptions(LocationAccuracy accuracy, bool useVisit, bool showsIndicator,
                                                   double filter, bool significant, bool regionMonitoring,
                                                   bool dynamicRadius, std::int64_t radius, bool background,
                                                   LocationActivityType activity, bool pauses, bool standard,
                                                   std::int64_t accuracyLimit) {
  desiredAccuracy = accuracy;
  useVisits = useVisit;
  showsBackgroundLocationIndicator = showsIndicator;
  distanceFilter = filter;
  useSignificant = significant;
  useRegionMonitoring = regionMonitoring;
  useDynamicGeofencRadius = dynamicRadius;
  geofenceRadius = radius;
  allowBackgroundLocationUpdates = background;
  activityType = activity;
  pausesLocationUpdatesAutomatically = pauses;
  useStandardLocationServices = standard;
  accuracyFilter = accuracyLimit;
}

}  // namespace pelk
