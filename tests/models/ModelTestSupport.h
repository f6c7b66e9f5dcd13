#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "pelk/PelkNumber.h"

namespace pelk {

// Lets failures show a number with the type it was read as.
inline void PrintTo(const PelkNumber& n, std::ostream* os) {
  switch (n.kind()) {
    case PelkNumber::Kind::int64:
      *os << "int64 " << n.int64Value();
      break;
    case PelkNumber::Kind::float64:
      *os << "double " << n.doubleValue();
      break;
    case PelkNumber::Kind::float32:
      *os << "float " << n.floatValue();
      break;
  }
}

}  // namespace pelk

namespace pelk::test {

using nlohmann::json;

inline PelkNumber I(std::int64_t v) { return PelkNumber::ofInt64(v); }
inline PelkNumber D(double v) { return PelkNumber::ofDouble(v); }
inline PelkNumber F(float v) { return PelkNumber::ofFloat(v); }

// One row of a model table: an input object and either a check of the built
// model or, with no check, the expectation that the input is refused.
template <class Model>
struct ModelCase {
  std::string name;
  json input;
  std::function<void(const Model&)> check;  // empty: malformed input, no model
};

template <class Model>
void runModelCases(const std::vector<ModelCase<Model>>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name + ": " + c.input.dump());
    std::shared_ptr<Model> m = Model::fromDictionary(c.input);
    if (!c.check) {
      EXPECT_EQ(m, nullptr);
      continue;
    }
    ASSERT_NE(m, nullptr);
    c.check(*m);
  }
}

// A copy of `base` with `key` set to `value` (or erased when value is discarded).
inline json with(json base, const std::string& key, json value) {
  if (value.is_discarded()) {
    base.erase(key);
  } else {
    base[key] = std::move(value);
  }
  return base;
}
inline json without(json base, const std::string& key) {
  base.erase(key);
  return base;
}

}  // namespace pelk::test
