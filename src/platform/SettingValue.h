#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/Clock.h"

namespace pelk::platform {

using Bytes = std::vector<std::uint8_t>;

// One value of a settings suite: the property-list kinds (text, integer,
// floating point, boolean, date, bytes, list, dictionary).
class SettingValue {
 public:
  using List = std::vector<SettingValue>;
  using Dictionary = std::map<std::string, SettingValue>;
  using Storage = std::variant<std::string, std::int64_t, double, bool, TimePoint, Bytes, List, Dictionary>;

  enum class Kind { String, Integer, Double, Bool, Date, Data, List, Dictionary };

  SettingValue() : v_(std::string()) {}
  SettingValue(std::string s) : v_(std::move(s)) {}
  SettingValue(const char* s) : v_(std::string(s)) {}
  SettingValue(std::int64_t i) : v_(i) {}
  SettingValue(int i) : v_(static_cast<std::int64_t>(i)) {}
  SettingValue(double d) : v_(d) {}
  SettingValue(bool b) : v_(b) {}
  SettingValue(TimePoint t) : v_(t) {}
  SettingValue(Bytes b) : v_(std::move(b)) {}
  SettingValue(List l) : v_(std::move(l)) {}
  SettingValue(Dictionary d) : v_(std::move(d)) {}

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  const Storage& storage() const { return v_; }

  template <class T>
  const T* get() const {
    return std::get_if<T>(&v_);
  }

  // Conversions in the manner of a property-list reader: numbers and booleans
  // convert into each other, text holding a number converts to it, anything
  // else gives nothing.
  std::optional<std::int64_t> integerValue() const;
  std::optional<double> doubleValue() const;
  std::optional<bool> boolValue() const;

  // JSON values map onto settings values and back (null has no settings form
  // and becomes nothing; dates become seconds since 1970; bytes become a list
  // of numbers).
  static std::optional<SettingValue> fromJson(const nlohmann::json& j);
  nlohmann::json toJson() const;

  // Lists and dictionaries nest at most this deep (a plain value is depth 1):
  // far above any real setting, low enough that reading one can never
  // exhaust the stack.
  static constexpr int kMaxDepth = 128;
  // How deep this value nests (1 for a plain value); counted without recursion.
  int depth() const;

  // A self-describing byte form that keeps every kind exactly (NaN and
  // infinities included).
  std::string encode() const;
  // Nothing for bytes that are not such a form, or that nest deeper than
  // kMaxDepth; the decoder never recurses past that depth.
  static std::optional<SettingValue> decode(const std::string& bytes);

  friend bool operator==(const SettingValue& a, const SettingValue& b);

 private:
  Storage v_;
};

}  // namespace pelk::platform
