#pragma once

#include <functional>
#include <optional>
#include <string>

namespace pelk::platform {

// The kit's directories.  Where they are is settled once per process, at the
// first use of any of them (or the first call of place()), and holds for the
// rest of the process:
//   - below the directory the host named (setHostDirectory), when it did;
//   - else below the XDG base directories and the host app's id:
//       documents    $XDG_DATA_HOME/<app id>/Documents
//       app support  $XDG_DATA_HOME/<app id>/Application Support
//       caches       $XDG_CACHE_HOME/<app id>
//       preferences  $XDG_CONFIG_HOME/<app id>
//     (the base directories default to ~/.local/share, ~/.cache and ~/.config),
//     when the data and preferences folders can be made and written;
//   - else below $STATE_DIRECTORY/<app id> (the folder a systemd unit's
//     StateDirectory= gives its service);
//   - else, with one Error console line, below a scratch folder made for this
//     process alone ($TMPDIR or /tmp), so nothing is kept for the next run; it
//     is locked like a data directory, and the scratch folders of the app id
//     whose process has ended are removed when the folders of a later process
//     of the app id are settled, wherever they are.
// Below a named directory (and below the state or scratch folder) the four
// are "Documents", "Application Support", "Caches" and "Preferences".
//
// The data directory (the first above, $XDG_DATA_HOME/<app id> for the XDG
// layout) holds "pelk.lock", locked (flock) for the whole life of the process
// that settled on it: a second process of the same app id finds it locked and
// is given a scratch folder of its own instead, so it never reads or writes
// the first one's settings and stores.  The lock goes with the process that
// held it, however it ends.
//
// Tests set a root instead (setRoot): the four live below it, nothing is
// settled or locked, and the root may change from test to test.  Each
// directory is created (mode 0700) when asked for.
class Paths {
 public:
  static std::string documents();
  static std::string appSupport();
  static std::string caches();
  static std::string preferences();

  static void setRoot(std::optional<std::string> root);
  static std::optional<std::string> root();

  enum class Settlement {
    own,              // the kit's folders for this and later runs, locked by this process
    nothingWritable,  // no usable folder: a scratch folder for this run only
    inUse,            // another live process holds the data directory: a scratch folder
  };
  struct Place {
    Settlement settlement = Settlement::own;
    // The data directory of an own settlement; empty otherwise.
    std::string dataDirectory;
    // inUse: the lock file and the process id its holder wrote there.
    std::string lockFile;
    std::string holder;
  };
  // Settles the folders (unless settled or a test root is set) and answers
  // where they are.  A test root is an own settlement with the root as data
  // directory.
  static Place place();

  // Runs `change` (a change of what the settlement depends on: the app id, the
  // host's directory) unless the folders are already settled or place() was
  // asked (start-up asks it, also under a test root); answers whether it ran.  No lock but the settlement's is held while it runs.
  static bool unlessSettled(const std::function<void()>& change);
  // The directory the host named; all four folders go below it.  Set through
  // unlessSettled().
  static void setHostDirectory(std::optional<std::string> dir);

  // Whether `dir` can be a data directory: made (with its parents, mode
  // 0700) if missing, a directory, and writable.  Empty when it can; else why not.
  static std::string unusableDirectory(const std::string& dir);

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
