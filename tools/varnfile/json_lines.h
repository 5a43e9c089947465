// The JSON Lines form of items used by export and import: one flat object
// per line, numbers as plain non-negative integers, data as text or base64.
#ifndef VARNFILE_TOOLS_JSON_LINES_H_
#define VARNFILE_TOOLS_JSON_LINES_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace varntool {

std::string Base64Encode(const uint8_t* data, std::size_t length);
// Standard alphabet with '=' padding; false on any other character, a bad
// length or bad padding.
bool Base64Decode(const std::string& text, std::vector<uint8_t>* out);

struct JsonValue {
  enum class Type { Number, String, Bool, Null } type = Type::Null;
  uint64_t number = 0;  // Number: integers 0..2^64-1 only
  bool negativeOrFraction = false;  // a number we cannot take as an id
  std::string text;     // String
  bool flag = false;    // Bool
};

// Parses one line holding a flat JSON object (no nested objects or arrays)
// into key -> value. On failure returns false with *error set.
bool ParseJsonObject(const std::string& line, std::map<std::string, JsonValue>* out,
                     std::string* error);

// Item data in the form export and list --json give it: as it is when it
// is plain text (see IsPlainText), else in base64; `encoding` says which.
struct EncodedData {
  const char* encoding;  // "text" or "base64"
  std::string text;
};
EncodedData EncodeData(const uint8_t* data, std::size_t length);

// `text` as a JSON string literal, quotes included. JSON text is UTF-8: a
// byte that is no part of a valid UTF-8 sequence (a description a Windows
// program wrote in CP1252, a file name in Latin-1) is written as the
// character of its Latin-1 reading, \u00XX, which keeps such text readable
// and every byte value recoverable.
std::string JsonString(const std::string& text);

// One flat JSON object built key by key, in the order given.
class JsonObject {
 public:
  JsonObject& Add(const char* key, uint64_t number) { return AddRaw(key, std::to_string(number)); }
  JsonObject& Add(const char* key, const std::string& text) { return AddRaw(key, JsonString(text)); }
  JsonObject& AddBool(const char* key, bool value) { return AddRaw(key, value ? "true" : "false"); }
  JsonObject& AddRaw(const char* key, const std::string& json) {
    text_ += (text_.size() > 1 ? ",\"" : "\"") + std::string(key) + "\":" + json;
    return *this;
  }
  std::string str() const { return text_ + "}"; }

 private:
  std::string text_ = "{";
};

}  // namespace varntool

#endif  // VARNFILE_TOOLS_JSON_LINES_H_
