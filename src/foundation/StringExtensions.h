#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "foundation/SharedUtil.h"

namespace pelk {

// Two lowercase hex digits per byte, no separator.
std::string hexString(const std::vector<std::uint8_t>& bytes);
std::string hexString(std::string_view bytes);
inline std::string hexDataString(const std::vector<std::uint8_t>& bytes) { return hexString(bytes); }

// Removes every space (U+0020) that stands as a character of its own; a space
// carrying a combining mark, tabs, line breaks and other blanks stay.
std::string whiteSpacesRemoved(const std::string& text);
// True when the text holds any Unicode white space or line break.
bool containsWhitespace(const std::string& text);
bool isNilOrEmpty(const std::optional<std::string>& text);
inline bool isNilOrEmpty(const std::string* text) { return text == nullptr || text->empty(); }

// Reads a wire time stamp back into a date (the writer's fixed format, zone
// taken from the text); nothing when it does not match.
std::optional<Date> getDate(const std::string& text);

// Pretty-printed JSON text of a dictionary; nothing when it cannot be written
// (a non-finite number, text that is not UTF-8, or not a dictionary).
std::optional<std::string> jsonString(const nlohmann::json& dictionary);
// JSON text of a list of dictionaries; "[]" whenever it cannot be written.
std::string toJSONString(const nlohmann::json& list, bool prettyPrinted = true);
// The same, reporting the failure instead of answering "[]", for callers that
// must not send an empty page in place of one that failed.
std::optional<std::string> tryToJSONString(const nlohmann::json& list, bool prettyPrinted = true);
// Parses JSON text whose top level is a dictionary; prints the parse error.
std::optional<nlohmann::json> convertToDictionary(const std::string& text);

// True when every number is finite and every text valid UTF-8.
bool isWritableJson(const nlohmann::json& value);
// True when the text is valid UTF-8, as JSON and the service need it.
bool isUtf8(const std::string& text);
// True when `value` nests at most `limit` levels (a plain value is one).
// Iterative, and it stops at the first branch too deep, so a value nested far
// deeper cannot exhaust the stack here; check before copying or writing one.
bool jsonNestedWithin(const nlohmann::json& value, int limit);

}  // namespace pelk
