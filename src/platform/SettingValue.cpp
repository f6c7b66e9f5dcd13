#include "platform/SettingValue.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <utility>

namespace pelk::platform {
namespace {

std::optional<double> leadingNumber(const std::string& s) {
  const char* begin = s.c_str();
  char* end = nullptr;
  const double d = std::strtod(begin, &end);
  if (end == begin) return std::nullopt;
  return d;
}

std::int64_t truncateToInt64(double d) {
  if (!std::isfinite(d)) return 0;
  if (d >= 9223372036854775808.0 || d < -9223372036854775808.0) return 0;
  return static_cast<std::int64_t>(d);
}

nlohmann::json tagged(const SettingValue& v);

nlohmann::json taggedList(const SettingValue::List& l) {
  auto arr = nlohmann::json::array();
  for (const auto& e : l) arr.push_back(tagged(e));
  return arr;
}

nlohmann::json tagged(const SettingValue& v) {
  using J = nlohmann::json;
  return std::visit(
      [](const auto& x) -> J {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::string>) {
          return J::array({"s", x});
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          return J::array({"i", x});
        } else if constexpr (std::is_same_v<T, double>) {
          return J::array({"d", x});
        } else if constexpr (std::is_same_v<T, bool>) {
          return J::array({"b", x});
        } else if constexpr (std::is_same_v<T, TimePoint>) {
          return J::array({"t", static_cast<std::int64_t>(x.time_since_epoch().count())});
        } else if constexpr (std::is_same_v<T, Bytes>) {
          return J::array({"x", J::binary(x)});
        } else if constexpr (std::is_same_v<T, SettingValue::List>) {
          return J::array({"l", taggedList(x)});
        } else {
          auto obj = J::object();
          for (const auto& [k, e] : x) obj[k] = tagged(e);
          return J::array({"m", obj});
        }
      },
      v.storage());
}

std::optional<SettingValue> untagged(const nlohmann::json& j) {
  if (!j.is_array() || j.size() != 2 || !j[0].is_string()) return std::nullopt;
  const std::string tag = j[0].get<std::string>();
  const auto& p = j[1];
  if (tag == "s" && p.is_string()) return SettingValue(p.get<std::string>());
  if (tag == "i" && p.is_number_integer()) return SettingValue(p.get<std::int64_t>());
  if (tag == "d" && p.is_number()) return SettingValue(p.get<double>());
  if (tag == "b" && p.is_boolean()) return SettingValue(p.get<bool>());
  if (tag == "t" && p.is_number_integer()) return SettingValue(TimePoint(Duration(p.get<std::int64_t>())));
  if (tag == "x" && p.is_binary()) return SettingValue(Bytes(p.get_binary().begin(), p.get_binary().end()));
  if (tag == "l" && p.is_array()) {
    SettingValue::List l;
    for (const auto& e : p) {
      auto v = untagged(e);
      if (!v) return std::nullopt;
      l.push_back(std::move(*v));
    }
    return SettingValue(std::move(l));
  }
  if (tag == "m" && p.is_object()) {
    SettingValue::Dictionary d;
    for (const auto& [k, e] : p.items()) {
      auto v = untagged(e);
      if (!v) return std::nullopt;
      d.emplace(k, std::move(*v));
    }
    return SettingValue(std::move(d));
  }
  return std::nullopt;
}

// Walks the byte form without building anything and stops at the first
// container past the limit, so the parser's own recursion stays bounded.
class DepthLimit : public nlohmann::json_sax<nlohmann::json> {
 public:
  explicit DepthLimit(int limit) : limit_(limit) {}
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return ++depth_ <= limit_; }
  bool key(string_t&) override { return true; }
  bool end_object() override { return --depth_ >= 0; }
  bool start_array(std::size_t) override { return ++depth_ <= limit_; }
  bool end_array() override { return --depth_ >= 0; }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

 private:
  const int limit_;
  int depth_ = 0;
};

}  // namespace

int SettingValue::depth() const {
  int deepest = 0;
  std::vector<std::pair<const SettingValue*, int>> pending = {{this, 1}};
  while (!pending.empty()) {
    const auto [v, d] = pending.back();
    pending.pop_back();
    deepest = std::max(deepest, d);
    if (const auto* l = v->get<List>()) {
      for (const auto& e : *l) pending.emplace_back(&e, d + 1);
    } else if (const auto* m = v->get<Dictionary>()) {
      for (const auto& [k, e] : *m) pending.emplace_back(&e, d + 1);
    }
  }
  return deepest;
}

std::optional<std::int64_t> SettingValue::integerValue() const {
  if (auto i = get<std::int64_t>()) return *i;
  if (auto d = get<double>()) return truncateToInt64(*d);
  if (auto b = get<bool>()) return *b ? 1 : 0;
  if (auto s = get<std::string>()) {
    if (auto d = leadingNumber(*s)) return truncateToInt64(*d);
  }
  return std::nullopt;
}

std::optional<double> SettingValue::doubleValue() const {
  if (auto d = get<double>()) return *d;
  if (auto i = get<std::int64_t>()) return static_cast<double>(*i);
  if (auto b = get<bool>()) return *b ? 1.0 : 0.0;
  if (auto s = get<std::string>()) return leadingNumber(*s);
  return std::nullopt;
}

std::optional<bool> SettingValue::boolValue() const {
  if (auto b = get<bool>()) return *b;
  if (auto i = get<std::int64_t>()) return *i != 0;
  if (auto d = get<double>()) return *d != 0.0;
  if (auto s = get<std::string>()) {
    // A text counts as true when it starts (after blanks) with Y, y, T, t or a
    // non-zero digit.
    for (char c : *s) {
      if (c == ' ' || c == '\t') continue;
      if (c == '+' || c == '-' || c == '0') continue;
      return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
    }
    return false;
  }
  return std::nullopt;
}

std::optional<SettingValue> SettingValue::fromJson(const nlohmann::json& j) {
  switch (j.type()) {
    case nlohmann::json::value_t::string:
      return SettingValue(j.get<std::string>());
    case nlohmann::json::value_t::boolean:
      return SettingValue(j.get<bool>());
    case nlohmann::json::value_t::number_integer:
      return SettingValue(j.get<std::int64_t>());
    case nlohmann::json::value_t::number_unsigned: {
      const auto u = j.get<std::uint64_t>();
      if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return SettingValue(static_cast<double>(u));
      }
      return SettingValue(static_cast<std::int64_t>(u));
    }
    case nlohmann::json::value_t::number_float:
      return SettingValue(j.get<double>());
    case nlohmann::json::value_t::binary:
      return SettingValue(Bytes(j.get_binary().begin(), j.get_binary().end()));
    case nlohmann::json::value_t::array: {
      List l;
      for (const auto& e : j) {
        auto v = fromJson(e);
        if (!v) return std::nullopt;
        l.push_back(std::move(*v));
      }
      return SettingValue(std::move(l));
    }
    case nlohmann::json::value_t::object: {
      Dictionary d;
      for (const auto& [k, e] : j.items()) {
        auto v = fromJson(e);
        if (!v) return std::nullopt;
        d.emplace(k, std::move(*v));
      }
      return SettingValue(std::move(d));
    }
    default:
      return std::nullopt;
  }
}

nlohmann::json SettingValue::toJson() const {
  using J = nlohmann::json;
  return std::visit(
      [](const auto& x) -> J {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, TimePoint>) {
          return Clock::secondsSince1970(x);
        } else if constexpr (std::is_same_v<T, Bytes>) {
          return J(x);
        } else if constexpr (std::is_same_v<T, List>) {
          auto arr = J::array();
          for (const auto& e : x) arr.push_back(e.toJson());
          return arr;
        } else if constexpr (std::is_same_v<T, Dictionary>) {
          auto obj = J::object();
          for (const auto& [k, e] : x) obj[k] = e.toJson();
          return obj;
        } else {
          return J(x);
        }
      },
      v_);
}

std::string SettingValue::encode() const {
  const auto bytes = nlohmann::json::to_cbor(tagged(*this));
  return std::string(bytes.begin(), bytes.end());
}

std::optional<SettingValue> SettingValue::decode(const std::string& bytes) {
  // A value of depth d is 2d - 1 deep in its byte form: each [tag, payload]
  // pair plus the list or map between it and the pairs inside.
  DepthLimit limit(2 * kMaxDepth - 1);
  if (!nlohmann::json::sax_parse(bytes, &limit, nlohmann::json::input_format_t::cbor, /*strict=*/true)) {
    return std::nullopt;
  }
  auto j = nlohmann::json::from_cbor(bytes, /*strict=*/true, /*allow_exceptions=*/false);
  if (j.is_discarded()) return std::nullopt;
  return untagged(j);
}

bool operator==(const SettingValue& a, const SettingValue& b) { return a.v_ == b.v_; }

}  // namespace pelk::platform
