#pragma once

#include <optional>
#include <string>

namespace pelk::platform {

// What the host app says about itself.  Set before the kit starts; the bundle
// id falls back to the executable's name.
class AppInfo {
 public:
  static void setBundleId(std::optional<std::string> id);
  static void setAppVersion(std::optional<std::string> version);
  static std::string bundleId();
  static std::optional<std::string> appVersion();
  static std::string executableName();
};

}  // namespace pelk::platform
