#include "platform/Device.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <system_error>
#include <vector>

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "platform/AppInfo.h"
#include "platform/Crypto.h"
#include "platform/Paths.h"
#include "platform/ThreadSafety.h"

namespace pelk::platform {
namespace {

namespace fs = std::filesystem;

std::atomic<bool> gMonitoring{false};

// Lock order: a leaf (platform/LockOrder.h).
Mutex gMutex;  // guards the test controls below
std::optional<std::string> gRoot PELK_GUARDED_BY(gMutex);
// Moved on by every test control, after the change, so that readings kept from
// an older state are read again.
std::atomic<std::uint64_t> gGeneration{1};
std::optional<Device::Uname> gUname PELK_GUARDED_BY(gMutex);
std::optional<std::map<std::string, std::string>> gEnvironment PELK_GUARDED_BY(gMutex);

// Lock order: a leaf (platform/LockOrder.h).
Mutex gIdentifierMutex;  // one writer of the kept identifier at a time
std::map<std::string, std::string> gUnsavedIdentifiers
    PELK_GUARDED_BY(gIdentifierMutex);  // by file, when it could not be written

std::string path(const std::string& absolute) {
  LockGuard lock(gMutex);
  return gRoot ? *gRoot + absolute : absolute;
}

std::string trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  const auto last = s.find_last_not_of(" \t\r\n");
  return s.substr(first, last - first + 1);
}

// The first line of a small file, trimmed; nothing when it cannot be read.
std::optional<std::string> readLine(const std::string& file) {
  std::ifstream in(file);
  if (!in) return std::nullopt;
  std::string line;
  if (!std::getline(in, line) && line.empty()) return std::nullopt;
  return trim(line);
}

std::optional<double> readNumber(const std::string& file) {
  auto text = readLine(file);
  if (!text || text->empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text->c_str(), &end);
  // "nan" and "inf" parse as numbers but are no reading.
  if (errno != 0 || end == text->c_str() || *end != '\0' || !std::isfinite(v)) return std::nullopt;
  return v;
}

struct PowerSupply {
  std::optional<double> percent;
  std::optional<double> capacityFull;  // energy or charge when full, for weighting
  std::string status;
};

// The system's batteries: power supplies of type "Battery" that power the
// system itself (a mouse or headset reports scope "Device") and are present.
std::vector<PowerSupply> systemBatteries() {
  std::vector<PowerSupply> out;
  std::error_code ec;
  const fs::path dir = path("/sys/class/power_supply");
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string base = it->path().string();
    if (readLine(base + "/type").value_or("") != "Battery") continue;
    if (readLine(base + "/scope").value_or("") == "Device") continue;
    if (readLine(base + "/present").value_or("1") == "0") continue;
    PowerSupply b;
    b.status = readLine(base + "/status").value_or("Unknown");
    auto now = readNumber(base + "/energy_now");
    auto full = readNumber(base + "/energy_full");
    if (!now || !full) {
      now = readNumber(base + "/charge_now");
      full = readNumber(base + "/charge_full");
    }
    if (auto capacity = readNumber(base + "/capacity")) {
      b.percent = capacity;
    } else if (now && full && *full > 0) {
      b.percent = *now / *full * 100.0;
    }
    if (full && *full > 0) b.capacityFull = full;
    out.push_back(std::move(b));
  }
  return out;
}

float levelOf(const std::vector<PowerSupply>& batteries) {
  double sum = 0, weights = 0;
  const bool weighted =
      std::all_of(batteries.begin(), batteries.end(), [](const PowerSupply& b) { return b.capacityFull; });
  // Weights relative to the largest, so capacities near the top of a double
  // cannot overflow the sums into a level that is not a number.
  double largest = 0;
  for (const auto& b : batteries) {
    if (weighted) largest = std::max(largest, *b.capacityFull);
  }
  for (const auto& b : batteries) {
    if (!b.percent) continue;
    const double w = weighted ? *b.capacityFull / largest : 1.0;
    sum += std::clamp(*b.percent, 0.0, 100.0) * w;
    weights += w;
  }
  if (weights <= 0) return -1.0f;
  // Percent first, then the division in single precision, so a battery at
  // 29 % reads as the float nearest 0.29.
  return static_cast<float>(sum / weights) / 100.0f;
}

Device::BatteryState stateOf(const std::vector<PowerSupply>& batteries) {
  using State = Device::BatteryState;
  if (batteries.empty()) return State::unknown;
  auto any = [&](std::initializer_list<const char*> texts) {
    return std::any_of(batteries.begin(), batteries.end(), [&](const PowerSupply& b) {
      return std::any_of(texts.begin(), texts.end(), [&](const char* t) { return b.status == t; });
    });
  };
  // "Not charging": on external power, held below full (a charge threshold);
  // a phone reports that as charging too.
  if (any({"Charging", "Not charging"})) return State::charging;
  if (any({"Discharging"})) return State::unplugged;
  const bool allFull =
      std::all_of(batteries.begin(), batteries.end(), [](const PowerSupply& b) { return b.status == "Full"; });
  return allFull ? State::full : State::unknown;
}

// KEY=VALUE lines; values may be quoted with " or ' and use backslash escapes.
std::map<std::string, std::string> osRelease() {
  std::ifstream in(path("/etc/os-release"));
  if (!in) in.open(path("/usr/lib/os-release"));
  std::map<std::string, std::string> fields;
  std::string line;
  while (std::getline(in, line)) {
    line = trim(line);
    if (line.empty() || line[0] == '#') continue;
    const auto eq = line.find('=');
    if (eq == std::string::npos || eq == 0) continue;
    std::string value = line.substr(eq + 1);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
      const char quote = value.front();
      std::string unquoted;
      for (std::size_t i = 1; i + 1 < value.size(); ++i) {
        if (quote == '"' && value[i] == '\\' && i + 2 < value.size()) ++i;
        unquoted.push_back(value[i]);
      }
      value = unquoted;
    }
    fields[line.substr(0, eq)] = value;
  }
  return fields;
}

Device::Uname systemUname() {
  struct utsname u {};
  if (::uname(&u) != 0) return {};
  return {u.sysname, u.release, u.machine};
}

// The readings that cannot change while the process runs, read once.
struct FixedReadings {
  Device::Uname uname;
  std::string systemName;
  std::string systemVersion;
};

FixedReadings readFixed() {
  FixedReadings r;
  std::optional<Device::Uname> names;
  {
    LockGuard lock(gMutex);
    names = gUname;
  }
  r.uname = names ? *names : systemUname();
  const auto fields = osRelease();
  auto field = [&](const char* key, const std::string& fallback) {
    auto it = fields.find(key);
    return it != fields.end() && !it->second.empty() ? it->second : fallback;
  };
  r.systemName = field("ID", r.uname.sysname);
  r.systemVersion = field("VERSION_ID", r.uname.release);
  return r;
}

struct FixedCache {
  // Lock order: a leaf (platform/LockOrder.h).
  Mutex mutex;
  std::shared_ptr<const FixedReadings> readings PELK_GUARDED_BY(mutex);
  std::uint64_t generation PELK_GUARDED_BY(mutex) = 0;
};

FixedCache& fixedCache() {
  static auto* cache = new FixedCache();  // never destroyed: positions may be stored while the process exits
  return *cache;
}

std::shared_ptr<const FixedReadings> fixedReadings() {
  auto& cache = fixedCache();
  // Taken before the sources are read: a control that changes them after this
  // point also moves the generation on, so what is read below is never kept
  // as newer than it is.
  const std::uint64_t generation = gGeneration.load();
  {
    LockGuard lock(cache.mutex);
    if (cache.readings && cache.generation == generation) return cache.readings;
  }
  // Read with no lock held; two threads may both read, and either result is right.
  auto fresh = std::make_shared<const FixedReadings>(readFixed());
  LockGuard lock(cache.mutex);
  if (!cache.readings || cache.generation <= generation) {
    cache.readings = fresh;
    cache.generation = generation;
  }
  return fresh;
}

// Writes the file whole or not at all (a temp file renamed over it), private
// to the owner like the kit's other files: a temp file left with wider
// permissions by an earlier run is made private before it is written.
bool writeAtomically(const std::string& file, const std::string& content) {
  const std::string tmp = file + ".tmp";
  const int fd = Paths::openPrivateFile(tmp, O_WRONLY | O_TRUNC);
  if (fd < 0) return false;
  bool ok = ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
  ok = ::fsync(fd) == 0 && ok;
  ok = ::close(fd) == 0 && ok;
  if (ok && ::rename(tmp.c_str(), file.c_str()) == 0) return true;
  ::unlink(tmp.c_str());
  return false;
}

std::string keptIdentifier() {
  const std::string file = Paths::appSupport() + "/device-identifier";
  LockGuard lock(gIdentifierMutex);
  if (auto text = readLine(file)) {
    if (auto uuid = Crypto::parseUuid(*text)) {
      // A file an earlier build left readable by others is made private.
      Paths::ensurePrivateFile(file, false);
      return Crypto::uuidString(*uuid);
    }
  }
  if (auto it = gUnsavedIdentifiers.find(file); it != gUnsavedIdentifiers.end()) return it->second;
  std::string id = Crypto::uuidString(Crypto::randomUuid());
  // A failed write keeps the identifier for this process, so at least it
  // does not change from one request to the next.
  if (!writeAtomically(file, id + "\n")) gUnsavedIdentifiers[file] = id;
  return id;
}

}  // namespace

void Device::setBatteryMonitoringEnabled(bool enabled) { gMonitoring.store(enabled); }

bool Device::isBatteryMonitoringEnabled() { return gMonitoring.load(); }

float Device::batteryLevel() { return battery().level; }

Device::BatteryState Device::batteryState() { return battery().state; }

Device::Battery Device::battery() {
  if (!gMonitoring.load()) return {};
  const auto batteries = systemBatteries();
  return {levelOf(batteries), stateOf(batteries)};
}

bool Device::isLowPowerModeEnabled() {
  return readLine(path("/sys/firmware/acpi/platform_profile")).value_or("") == "low-power";
}

std::string Device::systemName() { return fixedReadings()->systemName; }

std::string Device::systemVersion() { return fixedReadings()->systemVersion; }

std::string Device::model() { return uname().sysname; }

Device::Uname Device::uname() { return fixedReadings()->uname; }

std::string Device::identifierForVendor() {
  if (auto text = readLine(path("/etc/machine-id"))) {
    // 32 hex digits; an empty or all-zero id means "not set up yet".
    if (text->size() == 32 && text->find_first_not_of('0') != std::string::npos) {
      if (auto ns = Crypto::parseUuid(*text)) return Crypto::uuidString(Crypto::uuidV5(*ns, AppInfo::bundleId()));
    }
  }
  return keptIdentifier();
}

std::string Device::carrierName() { return ""; }

std::string Device::networkingVersion() {
  static const std::string version = [] {
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    return std::string(info && info->version ? info->version : "");
  }();
  return version;
}

std::optional<std::string> Device::environment(const std::string& name) {
  {
    LockGuard lock(gMutex);
    if (gEnvironment) {
      auto it = gEnvironment->find(name);
      if (it == gEnvironment->end()) return std::nullopt;
      return it->second;
    }
  }
  const char* v = std::getenv(name.c_str());
  if (!v) return std::nullopt;
  return std::string(v);
}

void Device::setRoot(std::optional<std::string> root) {
  LockGuard lock(gMutex);
  gRoot = std::move(root);
  ++gGeneration;
}

void Device::setUname(std::optional<Uname> names) {
  LockGuard lock(gMutex);
  gUname = std::move(names);
  ++gGeneration;
}

void Device::setEnvironment(std::optional<std::map<std::string, std::string>> variables) {
  LockGuard lock(gMutex);
  gEnvironment = std::move(variables);
  ++gGeneration;
}

}  // namespace pelk::platform
