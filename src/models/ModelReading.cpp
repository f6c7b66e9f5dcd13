#include "models/ModelReading.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace pelk::models {

std::optional<PelkNumber> asFloat64(const Json& value) {
  if (value.is_number_integer() && !value.is_number_unsigned()) {
    return PelkNumber::ofDouble(static_cast<double>(value.get<std::int64_t>()));
  }
  if (value.is_number_unsigned()) return PelkNumber::ofDouble(static_cast<double>(value.get<std::uint64_t>()));
  if (value.is_number_float()) return PelkNumber::ofDouble(value.get<double>());
  return std::nullopt;
}

std::optional<PelkNumber> asInt64(const Json& value) {
  if (value.is_number_unsigned()) {
    const auto u = value.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
    return PelkNumber::ofInt64(static_cast<std::int64_t>(u));
  }
  if (value.is_number_integer()) return PelkNumber::ofInt64(value.get<std::int64_t>());
  if (value.is_number_float()) {
    const double d = value.get<double>();
    // -2^63 is exact in a double; 2^63 is the first value past the range.
    constexpr double kLow = -9223372036854775808.0;
    constexpr double kHigh = 9223372036854775808.0;
    if (!std::isfinite(d) || std::trunc(d) != d || d < kLow || d >= kHigh) return std::nullopt;
    return PelkNumber::ofInt64(static_cast<std::int64_t>(d));
  }
  return std::nullopt;
}

std::optional<PelkNumber> asFloat32(const Json& value) {
  auto wide = asFloat64(value);
  if (!wide) return std::nullopt;
  const double d = wide->doubleValue();
  // Rounded to the nearest float; a finite value that would round to
  // infinity is one the float type cannot hold: refuse it.
  const float f = wide->floatValue();
  if (std::isfinite(d) && !std::isfinite(f)) return std::nullopt;
  return PelkNumber::ofFloat(f);
}

Reader::Reader(const Json& dictionary) : dictionary_(&dictionary), ok_(dictionary.is_object()) {}

const Json* Reader::find(std::string_view key) const {
  if (!dictionary_ || !dictionary_->is_object()) return nullptr;
  auto it = dictionary_->find(key);
  if (it == dictionary_->end() || it->is_null()) return nullptr;
  return &*it;
}

std::optional<std::string> Reader::text(std::string_view key) const {
  const Json* v = find(key);
  if (!v || !v->is_string()) return std::nullopt;
  return v->get<std::string>();
}

std::string Reader::textOrEmpty(std::string_view key) const { return text(key).value_or(std::string{}); }

std::string Reader::requiredText(std::string_view key) {
  auto v = text(key);
  if (!v) {
    ok_ = false;
    return {};
  }
  return std::move(*v);
}

bool Reader::boolean(std::string_view key) const {
  const Json* v = find(key);
  return v && v->is_boolean() && v->get<bool>();
}

bool Reader::requiredBoolean(std::string_view key) {
  const Json* v = find(key);
  if (!v || !v->is_boolean()) {
    ok_ = false;
    return false;
  }
  return v->get<bool>();
}

bool Reader::booleanWhenPresent(std::string_view key) {
  if (!dictionary_ || !dictionary_->is_object()) return false;
  auto it = dictionary_->find(key);
  if (it == dictionary_->end()) return false;
  if (!it->is_boolean()) {
    ok_ = false;
    return false;
  }
  return it->get<bool>();
}

std::optional<PelkNumber> Reader::number(std::string_view key, std::optional<PelkNumber> (*as)(const Json&)) const {
  const Json* v = find(key);
  if (!v) return std::nullopt;
  return as(*v);
}

std::optional<std::vector<double>> Reader::coordinates(std::string_view key) const {
  const Json* outer = find(key);
  if (!outer || !outer->is_object()) return std::nullopt;
  auto inner = outer->find("coordinates");
  if (inner == outer->end() || !inner->is_array()) return std::nullopt;
  std::vector<double> out;
  out.reserve(inner->size());
  for (const Json& element : *inner) {
    auto n = asFloat64(element);
    if (!n) return std::nullopt;
    out.push_back(n->doubleValue());
  }
  return out;
}

Reader Reader::object(std::string_view key) const {
  const Json* v = find(key);
  if (!v || !v->is_object()) return Reader{};
  return Reader{*v};
}

Reader Reader::requiredObject(std::string_view key) {
  const Json* v = find(key);
  if (!v || !v->is_object()) {
    ok_ = false;
    return Reader{};
  }
  return Reader{*v};
}

}  // namespace pelk::models
