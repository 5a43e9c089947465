// The export format's pieces: base64 and the flat JSON object parser.
#include "json_lines.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace varntool {
namespace {

TEST(JsonLinesTest, Base64) {
  // RFC 4648, section 10, and a binary tail.
  const char* vectors[][2] = {{"", ""},           {"f", "Zg=="},         {"fo", "Zm8="},
                              {"foo", "Zm9v"},    {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
                              {"foobar", "Zm9vYmFy"}};
  for (const auto& v : vectors) {
    EXPECT_EQ(Base64Encode(reinterpret_cast<const uint8_t*>(v[0]), strlen(v[0])), v[1]);
  }
  EXPECT_EQ(Base64Encode(reinterpret_cast<const uint8_t*>("\xff\xfe\x00"), 3), "//4A");
  std::vector<uint8_t> data, back;
  for (int n = 0; n < 300; ++n) {  // every byte at every length
    ASSERT_TRUE(Base64Decode(Base64Encode(data.data(), data.size()), &back)) << n;
    ASSERT_EQ(back, data) << n;
    data.push_back(static_cast<uint8_t>(n * 37 + 11));
  }
  for (const char* bad : {"Zg=", "Zg", "Z===", "Zm9v!", "Zg==Zg==", "Zm=v", "Zh==", "Zm9=", " Zg=="})
    EXPECT_FALSE(Base64Decode(bad, &back)) << bad;
}

TEST(JsonLinesTest, FlatObjects) {
  std::map<std::string, JsonValue> object;
  std::string error;
  ASSERT_TRUE(ParseJsonObject(
      " {\"position\":174, \"command\":65282,\"value\":4294967295,\"data\":\"YQ==\",\"x\":null,"
      "\"ok\":true,\"s\":\"a\\\"\\\\\\n\\u00e9\"} ",
      &object, &error))
      << error;
  EXPECT_EQ(object["command"].number, 65282u);
  EXPECT_EQ(object["value"].number, 4294967295u);
  EXPECT_EQ(object["data"].text, "YQ==");
  EXPECT_EQ(object["x"].type, JsonValue::Type::Null);
  EXPECT_TRUE(object["ok"].flag);
  EXPECT_EQ(object["s"].text, "a\"\\\n\xc3\xa9");
  // Numbers that cannot be ids are flagged.
  ASSERT_TRUE(ParseJsonObject("{\"a\":-1,\"b\":1.5,\"c\":2e3,\"d\":99999999999999999999999}", &object, &error));
  for (const char* key : {"a", "b", "c", "d"}) EXPECT_TRUE(object[key].negativeOrFraction) << key;
  EXPECT_TRUE(ParseJsonObject("{}", &object, &error));
  EXPECT_TRUE(object.empty());
  for (const char* bad : {"", "[]", "{", "{\"a\"}", "{\"a\":}", "{\"a\":1,}", "{\"a\":1} x", "{\"a\":{}}",
                          "{\"a\":1,\"a\":2}", "{a:1}", "{\"a\":\"\\q\"}", "{\"a\":\"unterminated}"}) {
    EXPECT_FALSE(ParseJsonObject(bad, &object, &error)) << bad;
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace varntool
