#include "item_text.h"

#include <cstdio>
#include <string>

namespace varntool {

std::size_t Utf8Sequence(const uint8_t* p, std::size_t n, uint32_t* cp) {
  uint8_t b = p[0];
  std::size_t length;
  uint32_t min;
  if (b < 0x80) {
    *cp = b;
    return 1;
  } else if (b >= 0xC2 && b <= 0xDF) {
    length = 2, min = 0x80, *cp = b & 0x1F;
  } else if (b >= 0xE0 && b <= 0xEF) {
    length = 3, min = 0x800, *cp = b & 0x0F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    length = 4, min = 0x10000, *cp = b & 0x07;
  } else {
    return 0;
  }
  if (n < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    *cp = (*cp << 6) | (p[i] & 0x3F);
  }
  if (*cp < min || *cp > 0x10FFFF || (*cp >= 0xD800 && *cp <= 0xDFFF)) return 0;
  return length;
}

bool IsControl(uint32_t cp) { return cp < 0x20 || (cp >= 0x7F && cp < 0xA0); }

bool IsInvisibleFormat(uint32_t cp) {
  return (cp >= 0x200B && cp <= 0x200F) || (cp >= 0x202A && cp <= 0x202E) ||
         (cp >= 0x2066 && cp <= 0x2069) || cp == 0x2028 || cp == 0x2029 || cp == 0xFEFF;
}

// Ranges as common terminals draw them; no locale is needed.
std::size_t Columns(uint32_t cp) {
  static const uint32_t combining[][2] = {{0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD},
                                          {0x0610, 0x061A}, {0x064B, 0x065F}, {0x1AB0, 0x1AFF},
                                          {0x1DC0, 0x1DFF}, {0x20D0, 0x20FF}, {0xFE00, 0xFE0F},
                                          {0xFE20, 0xFE2F}};
  static const uint32_t wide[][2] = {
      {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2E80, 0x303E},   {0x3041, 0x33FF},
      {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},   {0xAC00, 0xD7A3},
      {0xF900, 0xFAFF},   {0xFE30, 0xFE4F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},
      {0x1F300, 0x1F64F}, {0x1F680, 0x1F6FF}, {0x1F900, 0x1F9FF}, {0x1FA70, 0x1FAFF},
      {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD}};
  for (const auto& r : combining)
    if (cp >= r[0] && cp <= r[1]) return 0;
  for (const auto& r : wide)
    if (cp >= r[0] && cp <= r[1]) return 2;
  return 1;
}

std::string CodePointEscape(uint32_t cp) {
  char text[16];
  std::snprintf(text, sizeof text, "\\u{%x}", static_cast<unsigned>(cp));
  return text;
}

std::size_t Utf8Length(const uint8_t* data, std::size_t length) {
  uint32_t cp;
  return length == 0 ? 0 : Utf8Sequence(data, length, &cp);
}

bool IsPlainText(const uint8_t* data, std::size_t length) {
  for (std::size_t i = 0; i < length;) {
    uint32_t cp;
    std::size_t n = Utf8Sequence(data + i, length - i, &cp);
    if (n == 0 || IsControl(cp)) return false;
    i += n;
  }
  return true;
}

std::string Preview(const uint8_t* data, std::size_t length, std::size_t columns) {
  std::string out;
  std::size_t used = 0, fits = 0;  // fits: the length of out that leaves room for "..."
  for (std::size_t i = 0; i < length;) {
    uint32_t cp;
    std::size_t n = Utf8Sequence(data + i, length - i, &cp);
    if (n == 0 || IsControl(cp)) {
      n = 1;
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", data[i]);
      const char* named = data[i] == '\n' ? "\\n" : data[i] == '\r' ? "\\r" : data[i] == '\t' ? "\\t" : hex;
      out += named;
      used += std::char_traits<char>::length(named);
    } else if (cp == '\\') {
      out += "\\\\";
      used += 2;
    } else if (IsInvisibleFormat(cp)) {  // it would turn or hide the text around it
      const std::string escaped = CodePointEscape(cp);
      out += escaped;
      used += escaped.size();
    } else {
      out.append(reinterpret_cast<const char*>(data + i), n);
      used += Columns(cp);
    }
    i += n;
    if (used > columns) return columns >= 3 ? out.substr(0, fits) + "..." : out.substr(0, fits);
    if (used + 3 <= columns) fits = out.size();
  }
  return out;
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

bool SplitCsv(const std::string& line, std::vector<std::string>* fields, bool* more,
              std::string* error) {
  fields->clear();
  *more = false;
  std::string field;
  std::size_t i = 0;
  for (;;) {
    field.clear();
    if (i < line.size() && line[i] == '"') {
      for (++i;; ++i) {
        if (i >= line.size()) {
          *more = true;
          return true;
        }
        if (line[i] != '"') {
          field += line[i];
        } else if (i + 1 < line.size() && line[i + 1] == '"') {
          field += '"';
          ++i;
        } else {
          ++i;
          break;
        }
      }
      if (i < line.size() && line[i] != ',' && line[i] != '\r') {
        *error = "text after a closing quote in column " + std::to_string(fields->size() + 1);
        return false;
      }
    } else {
      while (i < line.size() && line[i] != ',' && line[i] != '\r') {
        if (line[i] == '"') {
          *error = "a quote inside an unquoted field in column " + std::to_string(fields->size() + 1);
          return false;
        }
        field += line[i++];
      }
    }
    fields->push_back(field);
    if (i < line.size() && line[i] == ',') {
      ++i;
      continue;
    }
    if (i < line.size() && !(line[i] == '\r' && i + 1 == line.size())) {
      *error = "a carriage return inside a record";
      return false;
    }
    return true;
  }
}

}  // namespace varntool
