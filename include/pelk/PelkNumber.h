#pragma once

#include <cstdint>
#include <variant>

namespace pelk {

// A number field of a result model.  It remembers the type it was read as: a
// 64-bit signed integer, a 64-bit floating-point value or a 32-bit
// floating-point value.  A default-made number is the integer 0, the value a
// zero-default number field holds when its key brought nothing usable.
class PelkNumber {
 public:
  enum class Kind { int64, float64, float32 };

  PelkNumber() = default;

  static PelkNumber ofInt64(std::int64_t value) { return PelkNumber(Value{value}); }
  static PelkNumber ofDouble(double value) { return PelkNumber(Value{value}); }
  static PelkNumber ofFloat(float value) { return PelkNumber(Value{value}); }

  Kind kind() const { return static_cast<Kind>(value_.index()); }
  bool isInt64() const { return kind() == Kind::int64; }
  bool isDouble() const { return kind() == Kind::float64; }
  bool isFloat() const { return kind() == Kind::float32; }

  // The value converted to the asked type.  A fraction is cut towards zero
  // when read as an integer; values beyond the target range saturate, and NaN
  // reads as the integer 0.
  std::int64_t int64Value() const;
  double doubleValue() const;
  float floatValue() const;

  // Equal when of the same kind and the same value.
  friend bool operator==(const PelkNumber& a, const PelkNumber& b) { return a.value_ == b.value_; }

 private:
  using Value = std::variant<std::int64_t, double, float>;  // order matches Kind
  explicit PelkNumber(Value value) : value_(value) {}

  Value value_{std::int64_t{0}};
};

}  // namespace pelk
