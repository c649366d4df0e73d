// Text rules shared by the decoder. Case folding of VINs, keys and codes
// touches ASCII letters only; lookup names shown to users are upper-cased
// with full Unicode rules. "White space" means the Unicode White_Space
// property, and cuts count Unicode scalar values, not bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tamberok {

inline constexpr bool is_ascii_digit(char c) {
  return c >= '0' && c <= '9';
}
inline constexpr bool is_ascii_upper(char c) {
  return c >= 'A' && c <= 'Z';
}
inline constexpr char ascii_to_upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}
inline constexpr char ascii_to_lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

std::string ascii_upper(std::string_view text);
std::string ascii_lower(std::string_view text);

// Equal lengths and equal bytes once "A"-"Z" fold to "a"-"z".
bool eq_ignore_ascii_case(std::string_view a, std::string_view b);

// The integer-text rule: an optional "+" or "-", then one or more ASCII
// digits and nothing else; out of the signed 32-bit range reads as absent.
std::optional<int32_t> parse_i32(std::string_view text);

// Trims characters with the White_Space property from both ends of UTF-8
// text. Bytes that do not decode are never white space.
std::string_view trim_unicode(std::string_view text);
std::string_view trim_unicode_start(std::string_view text);

// The first `limit` Unicode scalar values of UTF-8 text (a byte that does not
// decode counts as one).
std::string_view cut_chars(std::string_view text, size_t limit);

// Number of Unicode scalar values in UTF-8 text (same counting as cut_chars).
size_t count_chars(std::string_view text);

// Full Unicode upper case of UTF-8 text ("ß" becomes "SS"); bytes that do
// not decode are copied unchanged.
std::string unicode_upper(std::string_view text);

// Replaces each invalid UTF-8 sequence by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// Appends the UTF-8 encoding of a scalar value.
void append_utf8(std::string& out, char32_t cp);

// Decodes the scalar value at `pos`; returns its byte length through `len`.
// An invalid sequence yields U+FFFD with len 1.
char32_t decode_utf8(std::string_view text, size_t pos, size_t& len);

}  // namespace tamberok
