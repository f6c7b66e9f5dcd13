#include "foundation/LoggerManager.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <mutex>

#include <fcntl.h>
#include <unistd.h>

#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"
#include "platform/Clock.h"
#include "platform/Paths.h"

namespace pelk {
namespace {

// One writer at a time, so lines stay whole and no record is lost between the
// read and the write of the array.
std::mutex gWriteMutex;

}  // namespace

LoggerManager& LoggerManager::sharedInstance() {
  static auto* instance = new LoggerManager();
  return *instance;
}

std::string LoggerManager::fileUrl() { return platform::Paths::caches() + "/Zezovu.log"; }

std::string LoggerManager::getCurrentTimeStamp() {
  const std::time_t now = std::chrono::system_clock::to_time_t(platform::Clock::now());
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[32];
  if (std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm) == 0) return "";
  return buf;
}

void LoggerManager::savelocationServerLogs(const std::string& text) {
  using platform::SettingValue;
  auto suite = SharedUtil::userDefaultValue();
  SettingValue::Dictionary record{{"timeStamp", getCurrentTimeStamp()}, {"response", text}};
  suite->transaction([&] {
    SettingValue::List records;
    if (auto existing = suite->value(kSaveLocationServerLogs)) {
      if (const auto* list = existing->get<SettingValue::List>()) records = *list;
    }
    records.emplace_back(std::move(record));
    suite->set(kSaveLocationServerLogs, SettingValue(std::move(records)));
  });
  suite->synchronize();
}

void LoggerManager::writeLocationToFile(const std::string& text) {
  if (text.empty()) return;
  if (!SharedUtil::getDefaultBoolean(kLoggingEnabled)) return;

  std::lock_guard lock(gWriteMutex);
  savelocationServerLogs(text);
  const std::string line = getCurrentTimeStamp() + "        " + text + "\n";
  // Append mode creates the file on the first entry; an entry that cannot be
  // written is dropped without disturbing the caller.
  // The file holds positions and replies: it is created private, as the
  // kit's other files are, and a file left readable by others is made private.
  const std::string file = fileUrl();
  platform::Paths::ensurePrivateFile(file);
  const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return;
  std::size_t written = 0;
  while (written < line.size()) {
    const ssize_t n = ::write(fd, line.data() + written, line.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  ::close(fd);
}

}  // namespace pelk
