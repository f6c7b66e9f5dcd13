#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "models/ModelReading.h"
#include "pelk/PelkError.h"
#include "ModelTestSupport.h"

namespace pelk::test {
namespace {

using models::Reader;
using N = std::optional<PelkNumber>;

TEST(ReadingRules, NumberTypesAcceptOnlyNumbersTheyCanHold) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  struct Row {
    json value;
    N f64, i64, f32;
  };
  const std::vector<Row> rows = {
      {42, D(42.0), I(42), F(42.0f)},
      {-7, D(-7.0), I(-7), F(-7.0f)},
      {3.0, D(3.0), I(3), F(3.0f)},
      {3.5, D(3.5), std::nullopt, F(3.5f)},
      {0.1, D(0.1), std::nullopt, F(0.1f)},  // rounded to the nearest float
      {kMax, D(static_cast<double>(kMax)), I(kMax), F(static_cast<float>(kMax))},
      {-9223372036854775808.0, D(-9223372036854775808.0), I(kMin), F(-9223372036854775808.0f)},
      {std::uint64_t{18446744073709551615u}, D(18446744073709551615.0), std::nullopt, F(18446744073709551615.0f)},
      {9.3e18, D(9.3e18), std::nullopt, F(9.3e18f)},
      {3.4e38, D(3.4e38), std::nullopt, F(3.4e38f)},
      // The usual text of the largest float is a little above it and rounds to it.
      {3.4028235e38, D(3.4028235e38), std::nullopt, F(std::numeric_limits<float>::max())},
      {-3.4028235e38, D(-3.4028235e38), std::nullopt, F(-std::numeric_limits<float>::max())},
      {0x1.fffffefffp127, D(0x1.fffffefffp127), std::nullopt, F(std::numeric_limits<float>::max())},
      {0x1.ffffffp127, D(0x1.ffffffp127), std::nullopt, std::nullopt},  // the midpoint rounds to infinity
      // Finite but beyond the float range: refused rather than made infinite.
      {1e39, D(1e39), std::nullopt, std::nullopt},
      {-1e300, D(-1e300), std::nullopt, std::nullopt},
      // Not numbers: no conversion from text or booleans.
      {"12.5", std::nullopt, std::nullopt, std::nullopt},
      {"7", std::nullopt, std::nullopt, std::nullopt},
      {true, std::nullopt, std::nullopt, std::nullopt},
      {false, std::nullopt, std::nullopt, std::nullopt},
      {nullptr, std::nullopt, std::nullopt, std::nullopt},
      {json::array({1}), std::nullopt, std::nullopt, std::nullopt},
      {json::object(), std::nullopt, std::nullopt, std::nullopt},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.value.dump());
    EXPECT_EQ(models::asFloat64(r.value), r.f64);
    EXPECT_EQ(models::asInt64(r.value), r.i64);
    EXPECT_EQ(models::asFloat32(r.value), r.f32);
  }
}

TEST(ReadingRules, ZeroDefaultIsTheIntegerZeroAndKindsAreKept) {
  EXPECT_EQ(PelkNumber{}, I(0));
  EXPECT_TRUE(PelkNumber{}.isInt64());
  EXPECT_NE(I(0), D(0.0));  // same value, different kind
  EXPECT_NE(D(600.0), F(600.0f));

  const json d = {{"n", 12.5}, {"s", "12.5"}};
  Reader in(d);
  EXPECT_EQ(in.float64OrZero("n"), D(12.5));
  EXPECT_EQ(in.int64OrZero("n"), I(0));
  EXPECT_EQ(in.float32OrZero("s"), I(0));
  EXPECT_EQ(in.float64OrZero("missing"), I(0));
  EXPECT_EQ(in.float64("missing"), std::nullopt);
}

TEST(ReadingRules, NumberConversionsSaturateInsteadOfOverflowing) {
  EXPECT_EQ(D(1e30).int64Value(), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(D(-1e30).int64Value(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(D(std::nan("")).int64Value(), 0);
  EXPECT_EQ(D(-2.9).int64Value(), -2);
  EXPECT_EQ(D(1e39).floatValue(), std::numeric_limits<float>::infinity());
  EXPECT_EQ(D(-1e39).floatValue(), -std::numeric_limits<float>::infinity());
  EXPECT_EQ(D(3.4028235e38).floatValue(), std::numeric_limits<float>::max());
  EXPECT_EQ(F(600.0f).doubleValue(), 600.0);
  EXPECT_EQ(I(3).floatValue(), 3.0f);
}

TEST(ReadingRules, TextAndFlagKinds) {
  // Each row: the value under the key (discarded: key missing) and what every
  // text and flag kind makes of it.
  struct Row {
    const char* name;
    json value;
    std::optional<std::string> text;
    bool textRequiredOk;
    std::optional<bool> requiredFlag;     // nullopt: malformed
    std::optional<bool> flagWhenPresent;  // nullopt: malformed
    bool flag;
  };
  const json missing = json(json::value_t::discarded);
  const std::vector<Row> rows = {
      {"missing", missing, std::nullopt, false, std::nullopt, false, false},
      {"null", nullptr, std::nullopt, false, std::nullopt, std::nullopt, false},
      {"text", "abc", "abc", true, std::nullopt, std::nullopt, false},
      {"empty text", "", "", true, std::nullopt, std::nullopt, false},
      {"text true", "true", "true", true, std::nullopt, std::nullopt, false},
      {"number", 12, std::nullopt, false, std::nullopt, std::nullopt, false},
      {"number one", 1, std::nullopt, false, std::nullopt, std::nullopt, false},
      {"true", true, std::nullopt, false, true, true, true},
      {"false", false, std::nullopt, false, false, false, false},
      {"list", json::array({"a"}), std::nullopt, false, std::nullopt, std::nullopt, false},
      {"object", json::object({{"a", 1}}), std::nullopt, false, std::nullopt, std::nullopt, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    const json d = with(json{{"other", 1}}, "k", r.value);

    Reader texts(d);
    EXPECT_EQ(texts.text("k"), r.text);
    EXPECT_EQ(texts.textOrEmpty("k"), r.text.value_or(""));
    EXPECT_TRUE(texts.ok());
    std::string req = texts.requiredText("k");
    EXPECT_EQ(texts.ok(), r.textRequiredOk);
    if (r.textRequiredOk) {
      EXPECT_EQ(req, *r.text);
    }

    Reader flags(d);
    EXPECT_EQ(flags.boolean("k"), r.flag);
    EXPECT_TRUE(flags.ok());

    Reader required(d);
    bool rv = required.requiredBoolean("k");
    EXPECT_EQ(required.ok(), r.requiredFlag.has_value());
    if (r.requiredFlag) {
      EXPECT_EQ(rv, *r.requiredFlag);
    }

    Reader whenPresent(d);
    bool wv = whenPresent.booleanWhenPresent("k");
    EXPECT_EQ(whenPresent.ok(), r.flagWhenPresent.has_value());
    if (r.flagWhenPresent) {
      EXPECT_EQ(wv, *r.flagWhenPresent);
    }
  }
}

TEST(ReadingRules, CoordinatesKind) {
  using V = std::optional<std::vector<double>>;
  struct Row {
    json value;
    V expected;
  };
  const std::vector<Row> rows = {
      {{{"coordinates", {77.5946, 12.9716}}}, std::vector<double>{77.5946, 12.9716}},
      {{{"coordinates", {77, 12}}}, std::vector<double>{77.0, 12.0}},
      {{{"coordinates", {1.5, 2.5, 3.5}}}, std::vector<double>{1.5, 2.5, 3.5}},
      {{{"coordinates", json::array()}}, std::vector<double>{}},
      {{{"coordinates", {1.0, "2"}}}, std::nullopt},
      {{{"coordinates", {1.0, nullptr}}}, std::nullopt},
      {{{"coordinates", {1.0, true}}}, std::nullopt},
      {{{"coordinates", "1,2"}}, std::nullopt},
      {{{"coordinates", nullptr}}, std::nullopt},
      {{{"type", "Point"}}, std::nullopt},
      {json::array({1.0, 2.0}), std::nullopt},  // the list given directly
      {nullptr, std::nullopt},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.value.dump());
    const json d = {{"coordinates", r.value}};
    EXPECT_EQ(Reader(d).coordinates("coordinates"), r.expected);
  }
}

TEST(ReadingRules, ValueThatIsNotAnObjectIsMalformed) {
  for (const json& v : {json(nullptr), json::array(), json("x"), json(1), json(true)}) {
    SCOPED_TRACE(v.dump());
    Reader in(v);
    EXPECT_FALSE(in.ok());
    EXPECT_EQ(in.text("k"), std::nullopt);
  }
  // An optional nested object that is not an object reads as all absent.
  const json d = {{"data", "x"}};
  Reader in(d);
  EXPECT_EQ(in.object("data").text("a"), std::nullopt);
  EXPECT_TRUE(in.ok());
  in.requiredObject("data");
  EXPECT_FALSE(in.ok());
}

TEST(PelkErrorValue, KeepsBothTextsUnchangedEvenWhenEmpty) {
  const PelkError e("QB500", "Network error");
  EXPECT_EQ(e.code(), "QB500");
  EXPECT_EQ(e.message(), "Network error");
  const PelkError empty("", "");
  EXPECT_EQ(empty.code(), "");
  EXPECT_EQ(empty.message(), "");
  EXPECT_EQ(PelkError(ErrorCode::QB500, "Server error"), PelkError("QB500", "Server error"));
}

}  // namespace
}  // namespace pelk::test
