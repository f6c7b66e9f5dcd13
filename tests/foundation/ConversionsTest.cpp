#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "foundation/StringExtensions.h"
#include "platform/Console.h"

using namespace pelk;

TEST(Conversions, HexTextOfBytes) {
  EXPECT_EQ(hexString(std::vector<std::uint8_t>{}), "");
  EXPECT_EQ(hexString(std::vector<std::uint8_t>{0x00, 0x0A, 0xFF}), "000aff");
  EXPECT_EQ(hexDataString({0x10, 0x01}), "1001");
}

TEST(Conversions, OnlyFreeStandingSpacesAreRemoved) {
  struct Case {
    std::string in, out;
  };
  for (const auto& c : std::vector<Case>{{"a b\tc\nd", "ab\tc\nd"},
                                         {"   ", ""},
                                         {"iPhone 12 Pro", "iPhone12Pro"},
                                         {"no\u00a0break", "no\u00a0break"},
                                         {"x \u0301y", "x \u0301y"},  // a space carrying an accent stays
                                         {"", ""}}) {
    EXPECT_EQ(whiteSpacesRemoved(c.in), c.out) << c.in;
  }
  EXPECT_TRUE(containsWhitespace("a\u2003b"));
  EXPECT_FALSE(containsWhitespace(""));
  EXPECT_FALSE(containsWhitespace("abc"));
}

TEST(Conversions, NilOrEmpty) {
  EXPECT_TRUE(isNilOrEmpty(std::optional<std::string>{}));
  EXPECT_TRUE(isNilOrEmpty(std::optional<std::string>{""}));
  EXPECT_FALSE(isNilOrEmpty(std::optional<std::string>{" "}));
}

TEST(Conversions, JsonTextReportsWhatCannotBeWritten) {
  const nlohmann::json good = {{"a", 1}, {"b", "x"}};
  ASSERT_TRUE(jsonString(good));
  EXPECT_EQ(nlohmann::json::parse(*jsonString(good)), good);
  EXPECT_NE(jsonString(good)->find('\n'), std::string::npos);  // pretty printed

  const nlohmann::json nan = {{"v", std::nan("")}};
  const nlohmann::json inf = {{"v", {1.0, std::numeric_limits<double>::infinity()}}};
  const nlohmann::json badText = {{"v", std::string("\xff\xfe")}};
  for (const auto& bad : {nan, inf, badText}) {
    EXPECT_FALSE(jsonString(bad));
    const auto list = nlohmann::json::array({good, bad});
    EXPECT_EQ(toJSONString(list), "[]");
    EXPECT_FALSE(tryToJSONString(list));
  }
  EXPECT_FALSE(jsonString(nlohmann::json::array()));

  EXPECT_EQ(nlohmann::json::parse(toJSONString(nlohmann::json::array())), nlohmann::json::array());
  EXPECT_EQ(toJSONString(nlohmann::json::array({1, 2})), "[]");  // not dictionaries
  const auto page = nlohmann::json::array({good, good});
  EXPECT_EQ(nlohmann::json::parse(toJSONString(page, false)), page);
}

TEST(Conversions, TextToDictionary) {
  EXPECT_EQ(convertToDictionary(R"({"a":[1,2]})"), (nlohmann::json{{"a", {1, 2}}}));
  EXPECT_FALSE(convertToDictionary("[1]"));
  platform::Console::Capture console;
  EXPECT_FALSE(convertToDictionary("{broken"));
  EXPECT_EQ(console.lines().size(), 1u);
}
