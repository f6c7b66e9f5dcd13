#include "foundation/SharedUtil.h"

#include <cstdint>
#include <limits>
#include <mutex>
#include <set>

#include "foundation/AppDefaults.h"
#include "platform/Console.h"
#include "platform/ThreadSafety.h"

namespace pelk {
namespace {

// Lock order: a leaf (platform/LockOrder.h).
platform::Mutex gSuiteMutex;
std::shared_ptr<platform::SettingsSuite> gSuite PELK_GUARDED_BY(gSuiteMutex);

using platform::SettingValue;

// The values written at every position that the kit can rebuild or do
// without: the last position and the speed window (the next position starts
// them again), the count of positions since the last report (a few positions
// less are counted after a crash) and the log's records.  They reach the file
// lazily, a few seconds late, rather than with a commit and a sync each; the
// credentials, ids, switches and everything else stay durable at once.
std::set<std::string> rebuildableKeys() {
  return {kZezovuLatitude,           kZezovuLongitude,      kZezovuHorizontalAccuracy,
          kZezovuTimeStamp,          kZezovuSpeed,          KLocationCountSDK,
          KLocationCountStartedDate, KLocationCountSDKTemp, KLocationCountStartedDateTemp,
          kSaveLocationServerLogs};
}

std::optional<SettingValue> read(const std::string& key) { return SharedUtil::userDefaultValue()->value(key); }

// Every write is a durable commit of the settings file; one that would store
// the value already held (the same kind and bytes) changes nothing a reader
// can see, so it is left out.  The check and the write need no transaction:
// a write by another thread or process after the check simply comes later.
void write(const std::string& key, const SettingValue& v) {
  auto suite = SharedUtil::userDefaultValue();
  if (auto held = suite->value(key); held && held->kind() == v.kind() && held->encode() == v.encode()) return;
  suite->set(key, v);
  suite->synchronize();
}

}  // namespace

std::shared_ptr<platform::SettingsSuite> SharedUtil::userDefaultValue() {
  {
    platform::LockGuard lock(gSuiteMutex);
    if (gSuite) return gSuite;
  }
  // Opened with no lock of ours held (opening takes the suite's own locks,
  // which are held while a transaction's body calls back in here).  Every
  // caller gets the one object of the name.
  auto suite = platform::SettingsSuite::named(kUserDefaultsuiteName);
  suite->setLazyKeys(rebuildableKeys());
  platform::LockGuard lock(gSuiteMutex);
  if (!gSuite) gSuite = std::move(suite);
  return gSuite;
}

void SharedUtil::setUserDefaultValue(std::shared_ptr<platform::SettingsSuite> suite) {
  if (suite) suite->setLazyKeys(rebuildableKeys());
  platform::LockGuard lock(gSuiteMutex);
  gSuite = std::move(suite);
}

void SharedUtil::setDefaultString(const std::string& value, const std::string& key) { write(key, value); }

void SharedUtil::setDefaultInteger(std::int64_t value, const std::string& key) { write(key, value); }

void SharedUtil::setDefaultDouble(double value, const std::string& key) { write(key, value); }

void SharedUtil::setDefaultDate(Date value, const std::string& key) { write(key, value); }

void SharedUtil::setDefaultArray(const std::vector<std::string>& value, const std::string& key) {
  SettingValue::List list(value.begin(), value.end());
  write(key, SettingValue(std::move(list)));
}

void SharedUtil::setDefaultBoolean(bool value, const std::string& key) { write(key, value); }

void SharedUtil::setDefaultDictionary(const nlohmann::json& value, const std::string& key) {
  auto v = value.is_object() ? SettingValue::fromJson(value) : std::nullopt;
  if (!v) {
    platform::Console::print("pelk: dictionary for " + key + " has no stored form; not saved");
    return;
  }
  write(key, *v);
}

std::string SharedUtil::getDefaultString(const std::string& key) {
  auto v = read(key);
  if (!v) return "";
  if (auto s = v->get<std::string>()) return *s;
  return "";
}

std::int64_t SharedUtil::getDefaultInteger(const std::string& key) {
  auto v = read(key);
  return v ? v->integerValue().value_or(0) : 0;
}

double SharedUtil::getDefaultDouble(const std::string& key) {
  auto v = read(key);
  return v ? v->doubleValue().value_or(0.0) : 0.0;
}

Date SharedUtil::getDefaultDate(const std::string& key) {
  auto v = read(key);
  if (v) {
    if (auto d = v->get<platform::TimePoint>()) return *d;
  }
  return platform::Clock::now();
}

std::vector<std::string> SharedUtil::getDefaultArray(const std::string& key) {
  auto v = read(key);
  if (!v) return {};
  const auto* list = v->get<SettingValue::List>();
  if (!list) return {};
  std::vector<std::string> out;
  out.reserve(list->size());
  for (const auto& e : *list) {
    const auto* s = e.get<std::string>();
    if (!s) return {};
    out.push_back(*s);
  }
  return out;
}

bool SharedUtil::getDefaultBoolean(const std::string& key) {
  auto v = read(key);
  return v ? v->boolValue().value_or(false) : false;
}

nlohmann::json SharedUtil::getDefaultDictionary(const std::string& key) {
  auto v = read(key);
  if (v && v->kind() == SettingValue::Kind::Dictionary) return v->toJson();
  return nlohmann::json::object();
}

void SharedUtil::removeKey(const std::string& key) {
  auto suite = userDefaultValue();
  // A key not held commits nothing (the suite sees to it, also for an entry
  // that cannot be decoded, which must still go).
  suite->remove(key);
  suite->synchronize();
}

void SharedUtil::resetDefaults() {
  auto suite = userDefaultValue();
  suite->transaction([&] {
    for (const auto& key : suite->keys()) suite->remove(key);
  });
}

void incrementLocationCount(platform::SettingsSuite& suite) {
  suite.transaction([&] {
    // The next count, held at the largest count rather than wrapping.
    auto next = [&](const char* key) -> std::int64_t {
      auto v = suite.value(key);
      const std::int64_t n = v ? v->integerValue().value_or(0) : 0;
      return n < std::numeric_limits<std::int64_t>::max() ? n + 1 : n;
    };
    suite.set(KLocationCountSDK, next(KLocationCountSDK));
    auto updating = suite.value(kLocationCountUpdating);
    if (updating && updating->boolValue().value_or(false)) {
      suite.set(KLocationCountSDKTemp, next(KLocationCountSDKTemp));
    }
  });
}

}  // namespace pelk
