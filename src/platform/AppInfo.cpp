#include "platform/AppInfo.h"

#include <climits>
#include <mutex>

#include <unistd.h>

#include "platform/ThreadSafety.h"

namespace pelk::platform {
namespace {
// Lock order: a leaf (platform/LockOrder.h).
Mutex gMutex;
std::optional<std::string> gBundleId PELK_GUARDED_BY(gMutex);
std::optional<std::string> gVersion PELK_GUARDED_BY(gMutex);
}  // namespace

void AppInfo::setBundleId(std::optional<std::string> id) {
  LockGuard lock(gMutex);
  gBundleId = std::move(id);
}

void AppInfo::setAppVersion(std::optional<std::string> version) {
  LockGuard lock(gMutex);
  gVersion = std::move(version);
}

std::string AppInfo::bundleId() {
  {
    LockGuard lock(gMutex);
    if (gBundleId && !gBundleId->empty()) return *gBundleId;
  }
  return executableName();
}

std::optional<std::string> AppInfo::appVersion() {
  LockGuard lock(gMutex);
  return gVersion;
}

std::string AppInfo::executableName() {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return "pelk-host";
  std::string path(buf, static_cast<std::size_t>(n));
  const auto slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return name.empty() ? "pelk-host" : name;
}

std::string AppInfo::invalidAppId(const std::string& id) {
  if (id.empty()) return "empty";
  if (id.size() > 128) return "longer than 128 characters";
  if (id.front() == '.') return "begins with '.'";
  if (id.find("..") != std::string::npos) return "holds \"..\"";
  for (const char c : id) {
    const bool plain =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
    if (!plain) return "holds a character other than letters, digits, '.', '-' and '_'";
  }
  return {};
}

}  // namespace pelk::platform
