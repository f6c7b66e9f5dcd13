#include "foundation/LoggerManager.h"

#include <cstdio>
#include <ctime>
#include <mutex>

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
  std::FILE* f = std::fopen(fileUrl().c_str(), "ab");
  if (!f) return;
  std::fwrite(line.data(), 1, line.size(), f);
  std::fclose(f);
}

}  // namespace pelk
