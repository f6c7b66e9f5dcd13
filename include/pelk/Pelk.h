#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pelk/PelkDelegate.h"
#include "pelk/PelkEnums.h"
#include "pelk/PelkError.h"
#include "pelk/PelkPosition.h"
#include "pelk/PelkTrackingCustomMethods.h"
#include "pelk/PelkUser.h"

namespace pelk {

// The one entry point of the kit.  Every operation forwards to the kit's
// manager and runs on the caller's thread; results come back through the
// handler given with the call (it may be empty), or as a console line.
class Pelk {
 public:
  using UserHandler = std::function<void(std::shared_ptr<PelkUser>, std::optional<PelkError>)>;
  using TextHandler = std::function<void(std::optional<std::string>, std::optional<PelkError>)>;
  using LocationHandler = std::function<void(std::optional<Location>, std::optional<PelkError>)>;

  Pelk() = delete;

  // Start-up: the publishable key, and optionally the REST base URL and the
  // MQTT endpoint (both or neither are taken).
  static void initialize(const std::string& publishKey, const std::optional<std::string>& baseUrl = std::nullopt,
                         const std::optional<std::string>& mqttEndpoint = std::nullopt);
  static void setLoggerEnabled(bool logger);

  // The app's delegate; an empty pointer stops every delivery.
  static std::shared_ptr<PelkDelegate> delegate();
  static void setDelegate(std::shared_ptr<PelkDelegate> delegate);

  // User.
  static void createUser(const std::string& description, UserHandler handler = nullptr);
  static void getUser(const std::string& userId, UserHandler handler = nullptr);
  static void setDescription(const std::string& description);
  static void logoutUser(TextHandler handler = nullptr);
  static void setDeviceToken(const std::vector<std::uint8_t>& deviceToken);

  // Tracking.
  // The custom mode needs an option set; without one the start is refused
  // ("Data not found") and nothing changes.
  static void startTracking(PelkTrackingMode mode, const std::optional<PelkTrackingCustomMethods>& options = std::nullopt);
  static void stopTracking();
  static void startSelfTracking(PelkTrackingMode mode,
                                const std::optional<PelkTrackingCustomMethods>& options = std::nullopt);
  static void stopSelfTracking();
  static void requestLocation();
  // One fix within `accuracy` metres (at least 10) for the handler.
  static void getCurrentLocation(std::int64_t accuracy, LocationHandler handler = nullptr);
  // One fix within `accuracy` metres (at least 10) sent as a position of this device.
  static void updateCurrentLocation(std::int64_t accuracy);
  static bool isLocationEnabled();
  static bool isLocationTracking();
  static void setTrackingInAppState(PelkTrackingState state);
  static void offlineLocationTracking(bool enabled);
  static void enableAccuracyEngine();
  static void disableAccuracyEngine();
  static void enableAccuracyEngine(std::int64_t accuracy);
};

}  // namespace pelk
