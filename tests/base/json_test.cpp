// Reading the service's JSON and quoting the converter's own.
#include "base/json.h"

#include <gtest/gtest.h>

namespace pellucor {
namespace {

TEST(Json, ReadsDocumentsAndRefusesWhatIsNotJson) {
  const auto doc = ParseJson(
      " {\"error\":\"not_found\",\"outcome\":\"no_peers\",\"n\":-1.5e2,\"files\":[{\"path\":"
      "\"a\\\\b\\u00e9\\ud83d\\ude00\\n\",\"size\":0}],\"v2\":null,\"pl\":true} \r\n");
  ASSERT_TRUE(doc);
  EXPECT_EQ(doc->StringMember("outcome"), "no_peers");
  EXPECT_EQ(doc->Find("n")->number, -150);
  EXPECT_EQ(doc->Find("v2")->kind, JsonValue::Kind::Null);
  EXPECT_TRUE(doc->Find("pl")->boolean);
  EXPECT_EQ(doc->Find("files")->items.at(0).StringMember("path"), "a\\b\xC3\xA9\xF0\x9F\x98\x80\n");
  EXPECT_EQ(doc->StringMember("n"), std::nullopt);  // a number is no string
  EXPECT_EQ(doc->Find("absent"), nullptr);

  const std::string deep = std::string(65, '[') + std::string(65, ']');
  for (const char* bad :
       {"", "{", "{\"a\":1,}", "[1 2]", "{\"a\" 1}", "01", "1.", "-", "\"\\ud83d\"", "\"\\ude00\"",
        "\"\\x\"", "\"a\nb\"", "nul", "{} x", "<p>404 Not Found</p>"})
    EXPECT_FALSE(ParseJson(bad)) << bad;
  EXPECT_FALSE(ParseJson(deep));
  EXPECT_TRUE(ParseJson(std::string(64, '[') + std::string(64, ']')));
}

TEST(Json, QuotesWhatMustBeEscaped) {
  const std::string text = std::string("a\"b\\c\n\r\t\x01\x7F") + "\xE4\xB8\xAD";
  EXPECT_EQ(JsonQuote(text), "\"a\\\"b\\\\c\\n\\r\\t\\u0001\\u007f\xE4\xB8\xAD\"");
  EXPECT_EQ(ParseJson(JsonQuote(text))->string, text);
  // Bytes that are not UTF-8 (a name in a legacy code page, a cut sequence, an overlong form,
  // a surrogate) become U+FFFD, one per byte, so the JSON stays valid.
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(
      JsonQuote("\xb5\xe7|\xe7\x94|\xc0\xaf|\xed\xa0\x80"),
      "\"" + fffd + fffd + "|" + fffd + fffd + "|" + fffd + fffd + "|" + fffd + fffd + fffd + "\"");
}

}  // namespace
}  // namespace pellucor
