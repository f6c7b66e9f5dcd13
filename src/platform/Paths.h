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

  // The kit's files hold credentials and positions: only the owner may read
  // them, whatever the folder's mode or the umask.  Creates the file empty with
  // mode 0600 when it is missing (with `create`), and takes every group and
  // other permission from a file that has any.  A symbolic link is never
  // followed.  False when the file is missing (and not created) or cannot be
  // opened for writing; the caller then opens it as it can.
  static bool ensurePrivateFile(const std::string& path, bool create = true);

  // Opens `path` with `flags` (O_WRONLY, O_RDWR, O_APPEND, O_TRUNC...) as a
  // private file: created with mode 0600 exactly when missing (with `create`;
  // the umask takes nothing from it), group and other permissions taken from
  // a file that has any.  A symbolic link is never followed, and anything but
  // a regular file is refused (a pipe or device without waiting on its open).  The descriptor (close-on-exec), or -1 when the
  // file cannot be opened or made private.
  static int openPrivateFile(const std::string& path, int flags, bool create = true);
};

}  // namespace pelk::platform
