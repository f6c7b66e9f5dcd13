#include "foundation/StringExtensions.h"

#include <cmath>
#include <utility>

#include "foundation/DateExtensions.h"
#include "platform/Console.h"

namespace pelk {
namespace {

// Decodes one UTF-8 sequence at `i`; answers the code point and advances `i`,
// or answers nothing for a malformed sequence.
std::optional<char32_t> decodeUtf8(const std::string& s, std::size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  int len = b0 < 0x80 ? 1 : (b0 >> 5) == 6 ? 2 : (b0 >> 4) == 14 ? 3 : (b0 >> 3) == 30 ? 4 : 0;
  if (len == 0 || i + static_cast<std::size_t>(len) > s.size()) return std::nullopt;
  char32_t cp = len == 1 ? b0 : len == 2 ? (b0 & 0x1F) : len == 3 ? (b0 & 0x0F) : (b0 & 0x07);
  for (int k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
    if ((b >> 6) != 2) return std::nullopt;
    cp = (cp << 6) | (b & 0x3F);
  }
  i += static_cast<std::size_t>(len);
  return cp;
}

// Marks that join the preceding character into one user-perceived character.
bool extendsCluster(char32_t cp) {
  return (cp >= 0x0300 && cp <= 0x036F) || (cp >= 0x0483 && cp <= 0x0489) || (cp >= 0x0591 && cp <= 0x05BD) ||
         (cp >= 0x0610 && cp <= 0x061A) || (cp >= 0x064B && cp <= 0x065F) || (cp >= 0x0E31 && cp <= 0x0E3A) ||
         (cp >= 0x1AB0 && cp <= 0x1AFF) || (cp >= 0x1DC0 && cp <= 0x1DFF) || cp == 0x200C || cp == 0x200D ||
         (cp >= 0x20D0 && cp <= 0x20FF) || (cp >= 0x302A && cp <= 0x302F) || (cp >= 0x3099 && cp <= 0x309A) ||
         (cp >= 0xFE00 && cp <= 0xFE0F) || (cp >= 0xFE20 && cp <= 0xFE2F) || (cp >= 0x1F3FB && cp <= 0x1F3FF) ||
         (cp >= 0xE0020 && cp <= 0xE007F) || (cp >= 0xE0100 && cp <= 0xE01EF);
}

bool isUnicodeWhitespace(char32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

bool allFinite(const nlohmann::json& j) {
  switch (j.type()) {
    case nlohmann::json::value_t::number_float:
      return std::isfinite(j.get<double>());
    case nlohmann::json::value_t::array:
    case nlohmann::json::value_t::object:
      for (const auto& e : j) {
        if (!allFinite(e)) return false;
      }
      return true;
    case nlohmann::json::value_t::discarded:
    case nlohmann::json::value_t::binary:
      return false;
    default:
      return true;
  }
}

std::optional<std::string> dumpChecked(const nlohmann::json& j, bool pretty) {
  if (!allFinite(j)) return std::nullopt;
  try {
    return j.dump(pretty ? 2 : -1);
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;  // text that is not UTF-8
  }
}

}  // namespace

std::string hexString(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char b : bytes) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 0xF]);
  }
  return out;
}

std::string hexString(const std::vector<std::uint8_t>& bytes) {
  return hexString(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::string whiteSpacesRemoved(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ') {
      std::size_t next = i + 1;
      bool joined = false;
      if (next < text.size()) {
        std::size_t probe = next;
        if (auto cp = decodeUtf8(text, probe)) joined = extendsCluster(*cp);
      }
      if (joined) out.push_back(' ');
      i = next;
      continue;
    }
    out.push_back(text[i]);
    ++i;
  }
  return out;
}

bool containsWhitespace(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size()) {
    auto cp = decodeUtf8(text, i);
    if (!cp) {
      ++i;
      continue;
    }
    if (isUnicodeWhitespace(*cp)) return true;
  }
  return false;
}

bool isNilOrEmpty(const std::optional<std::string>& text) { return !text || text->empty(); }

std::optional<Date> getDate(const std::string& text) { return parseIso8601(text); }

bool isWritableJson(const nlohmann::json& value) { return dumpChecked(value, false).has_value(); }

bool isUtf8(const std::string& text) { return isWritableJson(nlohmann::json(text)); }

std::optional<std::string> jsonString(const nlohmann::json& dictionary) {
  if (!dictionary.is_object()) return std::nullopt;
  return dumpChecked(dictionary, true);
}

std::optional<std::string> tryToJSONString(const nlohmann::json& list, bool prettyPrinted) {
  if (!list.is_array()) return std::nullopt;
  for (const auto& e : list) {
    if (!e.is_object()) return std::nullopt;
  }
  return dumpChecked(list, prettyPrinted);
}

std::string toJSONString(const nlohmann::json& list, bool prettyPrinted) {
  return tryToJSONString(list, prettyPrinted).value_or("[]");
}

std::optional<nlohmann::json> convertToDictionary(const std::string& text) {
  try {
    auto j = nlohmann::json::parse(text);
    if (j.is_object()) return j;
    return std::nullopt;
  } catch (const nlohmann::json::exception& e) {
    platform::Console::print(e.what());
    return std::nullopt;
  }
}

bool jsonNestedWithin(const nlohmann::json& value, int limit) {
  std::vector<std::pair<const nlohmann::json*, int>> pending{{&value, 1}};
  while (!pending.empty()) {
    const auto [node, depth] = pending.back();
    pending.pop_back();
    if (depth > limit) return false;
    if (node->is_structured()) {
      for (const auto& child : *node) pending.emplace_back(&child, depth + 1);
    }
  }
  return true;
}

}  // namespace pelk
