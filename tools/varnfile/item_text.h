// How item data shows as text: the plain-text test that export uses to
// choose between text and base64, the escaped preview of list, and the
// fields of CSV.
#ifndef VARNFILE_TOOLS_ITEM_TEXT_H_
#define VARNFILE_TOOLS_ITEM_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace varntool {

// The length of the valid UTF-8 sequence (shortest form, no surrogates, at
// most U+10FFFF) that starts at data, with its code point in *cp; 0 when the
// byte there starts none.
std::size_t Utf8Sequence(const uint8_t* data, std::size_t length, uint32_t* cp);

// True for the control characters: C0 (tabs and line ends included), DEL, C1.
bool IsControl(uint32_t cp);

// True for the characters that change how the text around them shows
// without showing themselves: bidirectional embeddings, overrides and
// isolates (U+202A..U+202E, U+2066..U+2069), zero-width characters and
// marks (U+200B..U+200F), the line and paragraph separators (U+2028,
// U+2029) and the byte order mark (U+FEFF). Text output shows them escaped.
bool IsInvisibleFormat(uint32_t cp);

// "\u{202e}" for U+202E.
std::string CodePointEscape(uint32_t cp);

// The columns a terminal gives a printable code point: 2 for the wide ones
// (East Asian scripts, fullwidth forms, emoji), 0 for combining marks,
// else 1.
std::size_t Columns(uint32_t cp);

// The length of the valid UTF-8 sequence (shortest form, no surrogates, at
// most U+10FFFF) that starts at data, or 0 when the byte there starts none.
std::size_t Utf8Length(const uint8_t* data, std::size_t length);

// True when the data is valid UTF-8 without control characters (C0, DEL,
// C1; tabs and line ends included): it can stand in a line of text as it is.
bool IsPlainText(const uint8_t* data, std::size_t length);

// The data as one line of at most `columns` terminal columns: printable text as
// it is, \n \r \t and \\ escaped, other bytes as \xNN, the invisible
// formats as \u{XXXX}; "..." ends a cut line.
std::string Preview(const uint8_t* data, std::size_t length, std::size_t columns);

// A CSV field, quoted when it holds a comma, a quote or a line end.
std::string CsvField(const std::string& text);

// Splits one CSV record (RFC 4180: fields quoted with "", "" inside quotes
// for a quote). A quoted field may span lines: *more is set when the line
// ends inside quotes, and the caller appends "\n" and the next line and
// calls again. False with *error on a malformed record.
bool SplitCsv(const std::string& line, std::vector<std::string>* fields, bool* more,
              std::string* error);

}  // namespace varntool

#endif  // VARNFILE_TOOLS_ITEM_TEXT_H_
