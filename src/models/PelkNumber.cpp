#include "pelk/PelkNumber.h"

#include <cmath>
#include <limits>

namespace pelk {

std::int64_t PelkNumber::int64Value() const {
  if (const auto* i = std::get_if<std::int64_t>(&value_)) return *i;
  const double d = doubleValue();
  if (std::isnan(d)) return 0;
  // Saturate before converting: a double outside the int64 range has no
  // defined conversion.
  if (d <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  if (d >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  return static_cast<std::int64_t>(d);
}

double PelkNumber::doubleValue() const {
  if (const auto* i = std::get_if<std::int64_t>(&value_)) return static_cast<double>(*i);
  if (const auto* f = std::get_if<float>(&value_)) return static_cast<double>(*f);
  return std::get<double>(value_);
}

float PelkNumber::floatValue() const {
  if (const auto* f = std::get_if<float>(&value_)) return *f;
  const double d = doubleValue();
  // Round to nearest as the hardware does: only from the midpoint between the
  // largest float and 2^128 on is a value infinite.  Below it, values past the
  // largest float (such as 3.4028235e38, its usual text) round down to it.
  constexpr float kMax = std::numeric_limits<float>::max();
  constexpr double kOverflow = 0x1.ffffffp127;
  if (d >= kOverflow) return std::numeric_limits<float>::infinity();
  if (d <= -kOverflow) return -std::numeric_limits<float>::infinity();
  if (d > static_cast<double>(kMax)) return kMax;
  if (d < -static_cast<double>(kMax)) return -kMax;
  return static_cast<float>(d);
}

}  // namespace pelk
