#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "pelk/PelkNumber.h"

namespace pelk::models {

using Json = nlohmann::json;

// The number types a number field may be read as.  Each answers the number it
// accepts, or nothing for a value of another form (text, boolean, null, list,
// object, or a number the type cannot hold).
std::optional<PelkNumber> asFloat64(const Json& value);  // any JSON number
std::optional<PelkNumber> asInt64(const Json& value);    // a whole number within the int64 range
std::optional<PelkNumber> asFloat32(const Json& value);  // a JSON number within the float range

// Reads the fields of one result model out of one JSON object, by the kinds the
// models share.  A key that is missing or holds JSON null is absent; a value the
// kind does not accept leaves the field's default.  Required kinds, and a child
// that cannot be built, mark the input as malformed: ok() turns false and the
// model must not be handed out.  A value that is not a JSON object is malformed.
class Reader {
 public:
  explicit Reader(const Json& dictionary);

  bool ok() const { return ok_; }

  // Text, null when absent or not text.
  std::optional<std::string> text(std::string_view key) const;
  // Text, "" when absent or not text.
  std::string textOrEmpty(std::string_view key) const;
  // Text that must be there.
  std::string requiredText(std::string_view key);

  // Flag, false when absent or not a boolean.
  bool boolean(std::string_view key) const;
  // Flag that must be there as a boolean.
  bool requiredBoolean(std::string_view key);
  // Flag that may be missing (false) but, when the key is there, must hold a
  // boolean; JSON null under it is malformed.
  bool booleanWhenPresent(std::string_view key);

  // Number fields with a null default.
  std::optional<PelkNumber> float64(std::string_view key) const { return number(key, asFloat64); }
  std::optional<PelkNumber> int64(std::string_view key) const { return number(key, asInt64); }
  std::optional<PelkNumber> float32(std::string_view key) const { return number(key, asFloat32); }
  // Number fields with the integer 0 as default.
  PelkNumber float64OrZero(std::string_view key) const { return float64(key).value_or(PelkNumber{}); }
  PelkNumber int64OrZero(std::string_view key) const { return int64(key).value_or(PelkNumber{}); }
  PelkNumber float32OrZero(std::string_view key) const { return float32(key).value_or(PelkNumber{}); }

  // The object under key, whose own "coordinates" entry is a list of numbers:
  // that whole list (possibly empty).  Null otherwise.
  std::optional<std::vector<double>> coordinates(std::string_view key) const;

  // A reader over the object under key; when the value is not an object the
  // nested reader answers every key as absent (fields keep their defaults).
  Reader object(std::string_view key) const;
  // A reader over the object that must be under key.
  Reader requiredObject(std::string_view key);

  // A list of child models: one child per element when the value is a list
  // whose every element is a JSON object, otherwise an empty list.  A child
  // that refuses its object makes this model's input malformed.
  template <class Child>
  std::vector<std::shared_ptr<Child>> children(std::string_view key) {
    std::vector<std::shared_ptr<Child>> out;
    const Json* list = find(key);
    if (!list || !list->is_array()) return out;
    for (const Json& element : *list) {
      if (!element.is_object()) return out;
    }
    out.reserve(list->size());
    for (const Json& element : *list) {
      auto child = Child::fromDictionary(element);
      if (!child) {
        ok_ = false;
        return {};
      }
      out.push_back(std::move(child));
    }
    return out;
  }

 private:
  Reader() = default;                            // a reader over nothing: every key absent
  const Json* find(std::string_view key) const;  // null when missing or JSON null
  std::optional<PelkNumber> number(std::string_view key, std::optional<PelkNumber> (*as)(const Json&)) const;

  const Json* dictionary_ = nullptr;
  bool ok_ = true;
};

// A list of already built child models replaces the list the first reading
// left, but only when every element is a model; a list holding a null pointer
// is not such a list and leaves the first reading in place.
template <class Child>
void replaceWithBuilt(std::vector<std::shared_ptr<Child>>& field, std::vector<std::shared_ptr<Child>> built) {
  for (const auto& child : built) {
    if (!child) return;
  }
  field = std::move(built);
}

}  // namespace pelk::models
