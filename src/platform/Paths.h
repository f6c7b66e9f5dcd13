#pragma once

#include <optional>
#include <string>

namespace pelk::platform {

// The kit's directories, below the XDG base directories and the host app's id:
//   documents    $XDG_DATA_HOME/<app id>/Documents
//   app support  $XDG_DATA_HOME/<app id>/Application Support
//   caches       $XDG_CACHE_HOME/<app id>
//   preferences  $XDG_CONFIG_HOME/<app id>
// Tests (and hosts that want everything in one place) set a root instead, and
// the four live below it.  Each directory is created (mode 0700) when asked for.
class Paths {
 public:
  static std::string documents();
  static std::string appSupport();
  static std::string caches();
  static std::string preferences();

  static void setRoot(std::optional<std::string> root);
  static std::optional<std::string> root();

  // Creates the directory and its parents (mode 0700); false when it cannot.
  static bool ensureDirectory(const std::string& path);
};

}  // namespace pelk::platform
