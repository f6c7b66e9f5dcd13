#include "platform/Paths.h"

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
  const int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | (create ? O_CREAT : 0);
  const int fd = ::open(path.c_str(), flags, 0600);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (ok && (st.st_mode & 077) != 0) ok = ::fchmod(fd, st.st_mode & 0700) == 0;
  ::close(fd);
  return ok;
}

}  // namespace pelk::platform
