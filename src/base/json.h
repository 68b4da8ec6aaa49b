// The little JSON the project speaks (RFC 8259): the service's API replies, the converter reading
// them and writing one object per link. Strings are UTF-8 on both sides.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pellucor {

struct JsonValue {
  enum class Kind { Null, Bool, Number, String, Array, Object };
  Kind kind = Kind::Null;
  bool boolean = false;
  double number = 0;
  std::string string;  // UTF-8, escapes resolved
  std::vector<JsonValue> items;
  std::vector<std::pair<std::string, JsonValue>> members;  // in document order

  // Out of line: a member of a JsonValue's own type is complete only there.
  JsonValue();
  JsonValue(const JsonValue&);
  JsonValue(JsonValue&&) noexcept;
  JsonValue& operator=(const JsonValue&);
  JsonValue& operator=(JsonValue&&) noexcept;
  ~JsonValue();

  // The first member named `key` of an object; nothing for other kinds or a missing key.
  const JsonValue* Find(std::string_view key) const;
  // The member's text when it is a string, else nothing.
  std::optional<std::string> StringMember(std::string_view key) const;
};

// One JSON value, with only white space around it; nothing when the text is not JSON (bad
// syntax, a lone surrogate escape, nesting deeper than 64, trailing bytes).
//   ParseJson(R"({"a":[1,"\u00e9"]})") -> object, a = array(1, "é")
std::optional<JsonValue> ParseJson(std::string_view text);

// A UTF-8 text as a JSON string, quotes included: '"', '\' and control characters escaped;
// bytes that are not well-formed UTF-8 (a name in a legacy code page, a cut sequence, an
// overlong form, a surrogate) become U+FFFD, one per byte, so the JSON stays valid.
//   JsonQuote("a\"b\n") -> "\"a\\\"b\\n\""
std::string JsonQuote(std::string_view utf8);

}  // namespace pellucor
