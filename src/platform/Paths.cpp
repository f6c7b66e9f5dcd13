#include "platform/Paths.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <system_error>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/AppInfo.h"

namespace pelk::platform {
namespace {

// Lock order: a leaf (platform/LockOrder.h).
std::mutex gMutex;
std::optional<std::string> gRoot;

std::string home() {
  if (const char* h = std::getenv("HOME"); h && *h) return h;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/tmp";
}

std::string xdg(const char* var, const char* fallbackBelowHome) {
  if (const char* v = std::getenv(var); v && *v == '/') return v;
  return home() + "/" + fallbackBelowHome;
}

std::string resolve(const char* belowRoot, const char* xdgVar, const char* xdgFallback, const char* belowApp) {
  std::optional<std::string> root;
  {
    std::lock_guard lock(gMutex);
    root = gRoot;
  }
  std::string dir;
  if (root) {
    dir = *root + "/" + belowRoot;
  } else {
    dir = xdg(xdgVar, xdgFallback) + "/" + AppInfo::bundleId();
    if (*belowApp) dir += std::string("/") + belowApp;
  }
  Paths::ensureDirectory(dir);
  return dir;
}

}  // namespace

std::string Paths::documents() { return resolve("Documents", "XDG_DATA_HOME", ".local/share", "Documents"); }

std::string Paths::appSupport() {
  return resolve("Application Support", "XDG_DATA_HOME", ".local/share", "Application Support");
}

std::string Paths::caches() { return resolve("Caches", "XDG_CACHE_HOME", ".cache", ""); }

std::string Paths::preferences() { return resolve("Preferences", "XDG_CONFIG_HOME", ".config", ""); }

void Paths::setRoot(std::optional<std::string> root) {
  std::lock_guard lock(gMutex);
  gRoot = std::move(root);
}

std::optional<std::string> Paths::root() {
  std::lock_guard lock(gMutex);
  return gRoot;
}

bool Paths::ensureDirectory(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) return true;
  std::filesystem::path p(path);
  if (p.has_parent_path() && p.parent_path() != p) ensureDirectory(p.parent_path().string());
  if (::mkdir(path.c_str(), 0700) == 0) return true;
  return std::filesystem::is_directory(path, ec);
}

bool Paths::ensurePrivateFile(const std::string& path, bool create) {
  const int fd = openPrivateFile(path, O_RDWR, create);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

int Paths::openPrivateFile(const std::string& path, int flags, bool create) {
  // Without blocking: opening a pipe nobody reads would wait for a reader,
  // and anything but a regular file is refused below anyway.  The flag is
  // taken off again for the file.
  const int base = (flags & ~(O_CREAT | O_EXCL)) | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK;
  // Twice at most: a file removed between the two opens below is made afresh.
  for (int attempt = 0; attempt < 2; ++attempt) {
    bool created = false;
    int fd = -1;
    if (create) {
      fd = ::open(path.c_str(), base | O_CREAT | O_EXCL, 0600);
      if (fd >= 0) {
        created = true;
      } else if (errno != EEXIST) {
        return -1;
      }
    }
    if (fd < 0) fd = ::open(path.c_str(), base);
    if (fd < 0) {
      if (create && errno == ENOENT) continue;
      return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        ((flags & O_NONBLOCK) == 0 && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)) {
      ::close(fd);
      return -1;
    }
    // A file made here is 0600 whatever the umask took from it (a umask that
    // takes the owner's write leaves a file nobody may write the next time);
    // one found keeps the owner's permissions and loses everybody else's.
    const mode_t wanted = created ? 0600 : (st.st_mode & 0700);
    if ((st.st_mode & 07777) != wanted && ::fchmod(fd, wanted) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  }
  return -1;
}

}  // namespace pelk::platform
