#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/Clock.h"
#include "platform/SettingsSuite.h"

namespace pelk {

using Date = platform::TimePoint;

// The typed gateway to the kit's settings suite.  Every get reads the suite and
// every set writes it; absent keys read as "", 0, 0.0, the current date, [],
// false or {}.  A present key of another type reads as the getter's absent
// value (the numeric and boolean getters convert numbers and booleans).
class SharedUtil {
 public:
  // The kit's suite, opened on first use under kUserDefaultsuiteName and kept
  // for the process: every read, write and the logout reset use this one file,
  // even when the app id (and with it the suite's path) changes later.
  static std::shared_ptr<platform::SettingsSuite> userDefaultValue();
  static void setUserDefaultValue(std::shared_ptr<platform::SettingsSuite> suite);

  static void setDefaultString(const std::string& value, const std::string& key);
  static void setDefaultInteger(std::int64_t value, const std::string& key);
  static void setDefaultDouble(double value, const std::string& key);
  static void setDefaultDate(Date value, const std::string& key);
  static void setDefaultArray(const std::vector<std::string>& value, const std::string& key);
  static void setDefaultBoolean(bool value, const std::string& key);
  // A JSON object; values that have no settings form (null) make the write fail
  // with a log line and leave the key unchanged.
  static void setDefaultDictionary(const nlohmann::json& value, const std::string& key);

  static std::string getDefaultString(const std::string& key);
  static std::int64_t getDefaultInteger(const std::string& key);
  static double getDefaultDouble(const std::string& key);
  static Date getDefaultDate(const std::string& key);
  static std::vector<std::string> getDefaultArray(const std::string& key);
  static bool getDefaultBoolean(const std::string& key);
  static nlohmann::json getDefaultDictionary(const std::string& key);

  static void removeKey(const std::string& key);
  // Removes every key of the suite.
  static void resetDefaults();
};

// Counts one more position handed to the app's delegate: "locationCountSDK"
// always, and "locationCountSDKTemp" too while a location-count report is in
// flight ("locationCountUpdating" true), so that the positions recorded during
// the report are carried over afterwards.  One transaction on the suite.
void incrementLocationCount(platform::SettingsSuite& suite);

}  // namespace pelk
