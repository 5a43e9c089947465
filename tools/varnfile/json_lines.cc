#include "json_lines.h"

#include <cctype>
#include <cstdio>
#include <string>

#include "item_text.h"

namespace varntool {

namespace {
const char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Digit(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}
}  // namespace

std::string Base64Encode(const uint8_t* data, std::size_t length) {
  std::string out;
  out.reserve((length + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= length; i += 3) {
    uint32_t v = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
    out += Alphabet[v >> 18];
    out += Alphabet[(v >> 12) & 63];
    out += Alphabet[(v >> 6) & 63];
    out += Alphabet[v & 63];
  }
  if (i + 1 == length) {
    uint32_t v = data[i] << 16;
    out += Alphabet[v >> 18];
    out += Alphabet[(v >> 12) & 63];
    out += "==";
  } else if (i + 2 == length) {
    uint32_t v = (data[i] << 16) | (data[i + 1] << 8);
    out += Alphabet[v >> 18];
    out += Alphabet[(v >> 12) & 63];
    out += Alphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

bool Base64Decode(const std::string& text, std::vector<uint8_t>* out) {
  out->clear();
  if (text.size() % 4 != 0) return false;
  for (std::size_t i = 0; i < text.size(); i += 4) {
    bool last = i + 4 == text.size();
    int d[4];
    int padding = 0;
    for (int k = 0; k < 4; ++k) {
      char c = text[i + k];
      if (c == '=' && last && k >= 2) {
        d[k] = 0;
        ++padding;
        continue;
      }
      if (padding > 0) return false;  // data after padding
      d[k] = Base64Digit(c);
      if (d[k] < 0) return false;
    }
    uint32_t v = (d[0] << 18) | (d[1] << 12) | (d[2] << 6) | d[3];
    out->push_back(static_cast<uint8_t>(v >> 16));
    if (padding < 2) out->push_back(static_cast<uint8_t>(v >> 8));
    if (padding < 1) out->push_back(static_cast<uint8_t>(v));
    // Canonical form only, so that the same data has one spelling.
    if ((padding == 1 && (v & 0xFF) != 0) || (padding == 2 && (v & 0xFFFF) != 0)) return false;
  }
  return true;
}

EncodedData EncodeData(const uint8_t* data, std::size_t length) {
  if (IsPlainText(data, length)) return {"text", std::string(reinterpret_cast<const char*>(data), length)};
  return {"base64", Base64Encode(data, length)};
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(text.data());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = bytes[i];
    if (c >= 0x80) {
      const std::size_t n = Utf8Length(bytes + i, text.size() - i);
      if (n == 0) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
        out += escaped;
      } else {
        out.append(text, i, n);
        i += n - 1;
      }
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

namespace {

class Parser {
 public:
  explicit Parser(const std::string& text) : s_(text) {}

  bool Object(std::map<std::string, JsonValue>* out, std::string* error) {
    SkipSpace();
    if (!Eat('{')) return Fail(error, "expected '{'");
    SkipSpace();
    if (Eat('}')) return End(error);
    for (;;) {
      SkipSpace();
      std::string key;
      if (!String(&key)) return Fail(error, "expected a quoted key");
      SkipSpace();
      if (!Eat(':')) return Fail(error, "expected ':' after key \"" + key + "\"");
      SkipSpace();
      JsonValue value;
      if (!Value(&value)) return Fail(error, "bad value for key \"" + key + "\"");
      if (out->count(key) != 0) return Fail(error, "key \"" + key + "\" appears twice");
      (*out)[key] = value;
      SkipSpace();
      if (Eat(',')) continue;
      if (Eat('}')) return End(error);
      return Fail(error, "expected ',' or '}'");
    }
  }

 private:
  bool End(std::string* error) {
    SkipSpace();
    if (at_ != s_.size()) return Fail(error, "text after the object");
    return true;
  }
  bool Fail(std::string* error, const std::string& message) {
    *error = message + " at column " + std::to_string(at_ + 1);
    return false;
  }
  void SkipSpace() {
    while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\r')) ++at_;
  }
  bool Eat(char c) {
    if (at_ < s_.size() && s_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  bool Word(const char* word) {
    std::size_t n = std::char_traits<char>::length(word);
    if (s_.compare(at_, n, word) != 0) return false;
    at_ += n;
    return true;
  }
  static int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }
  // Four hex digits of a \u escape.
  bool Hex4(uint32_t* value) {
    if (at_ + 4 > s_.size()) return false;
    for (int k = 0; k < 4; ++k) {
      int h = Hex(s_[at_++]);
      if (h < 0) return false;
      *value = *value * 16 + h;
    }
    return true;
  }
  void AppendUtf8(uint32_t cp, std::string* out) {
    if (cp < 0x80) {
      *out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      *out += static_cast<char>(0xC0 | (cp >> 6));
      *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      *out += static_cast<char>(0xE0 | (cp >> 12));
      *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      *out += static_cast<char>(0xF0 | (cp >> 18));
      *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  bool String(std::string* out) {
    if (!Eat('"')) return false;
    while (at_ < s_.size()) {
      char c = s_[at_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        *out += c;
        continue;
      }
      if (at_ >= s_.size()) return false;
      char e = s_[at_++];
      switch (e) {
        case '"': *out += '"'; break;
        case '\\': *out += '\\'; break;
        case '/': *out += '/'; break;
        case 'b': *out += '\b'; break;
        case 'f': *out += '\f'; break;
        case 'n': *out += '\n'; break;
        case 'r': *out += '\r'; break;
        case 't': *out += '\t'; break;
        case 'u': {
          uint32_t cp = 0, low = 0;
          if (!Hex4(&cp)) return false;
          // A character beyond U+FFFF comes as a pair of UTF-16 surrogates;
          // one alone is no character.
          if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (s_.compare(at_, 2, "\\u") != 0) return false;
            at_ += 2;
            if (!Hex4(&low) || low < 0xDC00 || low > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          }
          AppendUtf8(cp, out);
          break;
        }
        default: return false;
      }
    }
    return false;
  }
  bool Value(JsonValue* v) {
    if (at_ >= s_.size()) return false;
    char c = s_[at_];
    if (c == '"') {
      v->type = JsonValue::Type::String;
      return String(&v->text);
    }
    if (Word("true")) {
      v->type = JsonValue::Type::Bool;
      v->flag = true;
      return true;
    }
    if (Word("false")) {
      v->type = JsonValue::Type::Bool;
      return true;
    }
    if (Word("null")) return true;
    if (c == '-' || (c >= '0' && c <= '9')) {
      v->type = JsonValue::Type::Number;
      if (c == '-') {
        v->negativeOrFraction = true;
        ++at_;
      }
      bool digits = false;
      while (at_ < s_.size() && s_[at_] >= '0' && s_[at_] <= '9') {
        uint64_t d = static_cast<uint64_t>(s_[at_++] - '0');
        if (v->number > (UINT64_MAX - d) / 10) v->negativeOrFraction = true;
        else v->number = v->number * 10 + d;
        digits = true;
      }
      if (!digits) return false;
      if (at_ < s_.size() && (s_[at_] == '.' || s_[at_] == 'e' || s_[at_] == 'E')) {
        v->negativeOrFraction = true;
        ++at_;
        while (at_ < s_.size() && (std::isdigit(static_cast<unsigned char>(s_[at_])) ||
                                   s_[at_] == '+' || s_[at_] == '-' || s_[at_] == 'e' ||
                                   s_[at_] == 'E'))
          ++at_;
      }
      return true;
    }
    return false;
  }

  const std::string& s_;
  std::size_t at_ = 0;
};

}  // namespace

bool ParseJsonObject(const std::string& line, std::map<std::string, JsonValue>* out,
                     std::string* error) {
  out->clear();
  return Parser(line).Object(out, error);
}

}  // namespace varntool
