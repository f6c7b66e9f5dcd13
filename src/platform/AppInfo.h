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
  // Why `id` cannot name the app (it becomes a folder name and part of the
  // device's identifier): empty when it can.  1 to 128 letters, digits, '.',
  // '-' and '_', not beginning with '.' nor holding "..".
  static std::string invalidAppId(const std::string& id);
};

}  // namespace pelk::platform
