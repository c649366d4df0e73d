#include "tamberok/text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "unicode_tables.h"

namespace tamberok {

namespace {

// A copy of `text` with the case of every byte in [LOW, HIGH] (ASCII
// letters of one case) flipped. Decoding changes the case of every item's
// source, key and value, so eight bytes go at a time: in a word whose bytes
// have their top bit cleared, adding 0x80 - LOW sets a byte's top bit exactly
// when it is LOW or more, adding 0x7F - HIGH exactly when it is above HIGH,
// and no sum carries into the next byte.
template <char LOW, char HIGH>
std::string flip_case(std::string_view text) {
  constexpr uint64_t ONES = 0x0101010101010101ULL;
  constexpr uint64_t TOPS = 0x8080808080808080ULL;
  std::string out(text);
  char* bytes = out.data();
  size_t at = 0;
  for (; at + 8 <= out.size(); at += 8) {
    uint64_t word;
    std::memcpy(&word, bytes + at, 8);
    uint64_t low7 = word & ~TOPS;
    uint64_t at_least_low = low7 + (0x80 - LOW) * ONES;
    uint64_t above_high = low7 + (0x7F - HIGH) * ONES;
    uint64_t letters = at_least_low & ~above_high & ~word & TOPS;
    word ^= letters >> 2;  // 0x80 >> 2 is the case bit 0x20
    std::memcpy(bytes + at, &word, 8);
  }
  for (; at < out.size(); ++at) {
    if (bytes[at] >= LOW && bytes[at] <= HIGH) bytes[at] = static_cast<char>(bytes[at] ^ 0x20);
  }
  return out;
}

}  // namespace

std::string ascii_upper(std::string_view text) {
  return flip_case<'a', 'z'>(text);
}

std::string ascii_lower(std::string_view text) {
  return flip_case<'A', 'Z'>(text);
}

bool eq_ignore_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (ascii_to_lower(a[i]) != ascii_to_lower(b[i])) return false;
  }
  return true;
}

std::optional<int32_t> parse_i32(std::string_view text) {
  size_t i = 0;
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    i = 1;
  }
  if (i == text.size()) return std::nullopt;
  // Accumulate towards the sign so that INT32_MIN reads.
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (!is_ascii_digit(c)) return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > int64_t{2147483648}) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > INT32_MAX || value < INT32_MIN) return std::nullopt;
  return static_cast<int32_t>(value);
}

char32_t decode_utf8(std::string_view text, size_t pos, size_t& len) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char b0 = byte(pos);
  len = 1;
  if (b0 < 0x80) return b0;
  size_t need;
  char32_t cp;
  char32_t min;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1, cp = b0 & 0x1F, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2, cp = b0 & 0x0F, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3, cp = b0 & 0x07, min = 0x10000;
  } else {
    return 0xFFFD;
  }
  if (pos + need >= text.size()) return 0xFFFD;
  for (size_t k = 1; k <= need; ++k) {
    unsigned char b = byte(pos + k);
    if ((b & 0xC0) != 0x80) return 0xFFFD;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0xFFFD;
  len = need + 1;
  return cp;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

namespace {

bool is_white_space(char32_t cp) {
  if (cp < 0x80) return cp == 0x20 || (cp >= 0x09 && cp <= 0x0D);
  const char32_t* end = unicode::WHITE_SPACE + unicode::WHITE_SPACE_COUNT;
  return std::binary_search(unicode::WHITE_SPACE, end, cp);
}

// Byte length of the UTF-8 sequence that ends at `end` (exclusive), or 0 when
// the bytes before `end` do not end with a valid sequence.
size_t last_char_len(std::string_view text, size_t end, char32_t& cp) {
  size_t start = end;
  for (size_t back = 1; back <= 4 && back <= end; ++back) {
    start = end - back;
    if ((static_cast<unsigned char>(text[start]) & 0xC0) != 0x80) break;
  }
  size_t len = 0;
  cp = decode_utf8(text, start, len);
  if (start + len != end) {
    cp = 0xFFFD;
    return 1;
  }
  return len;
}

}  // namespace

std::string_view trim_unicode_start(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size()) {
    unsigned char b = static_cast<unsigned char>(text[pos]);
    if (b < 0x80) {  // the common case: ASCII needs no decoding
      if (!is_white_space(b)) break;
      ++pos;
      continue;
    }
    size_t len = 0;
    char32_t cp = decode_utf8(text, pos, len);
    if (!is_white_space(cp)) break;
    pos += len;
  }
  return text.substr(pos);
}

std::string_view trim_unicode(std::string_view text) {
  text = trim_unicode_start(text);
  size_t end = text.size();
  while (end > 0) {
    unsigned char b = static_cast<unsigned char>(text[end - 1]);
    if (b < 0x80) {
      if (!is_white_space(b)) break;
      --end;
      continue;
    }
    char32_t cp = 0;
    size_t len = last_char_len(text, end, cp);
    if (!is_white_space(cp)) break;
    end -= len;
  }
  return text.substr(0, end);
}

std::string_view cut_chars(std::string_view text, size_t limit) {
  if (text.size() <= limit) return text;  // never more characters than bytes
  // Each ASCII byte is one character: the long notes and error texts are
  // ASCII all through, so only what follows the first other byte is decoded.
  size_t pos = 0;
  while (pos < limit && static_cast<unsigned char>(text[pos]) < 0x80) ++pos;
  for (size_t n = pos; n < limit && pos < text.size(); ++n) {
    size_t len = 0;
    decode_utf8(text, pos, len);
    pos += len;
  }
  return text.substr(0, pos);
}

size_t count_chars(std::string_view text) {
  bool ascii = std::all_of(text.begin(), text.end(),
                           [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii) return text.size();
  size_t n = 0;
  for (size_t pos = 0; pos < text.size(); ++n) {
    size_t len = 0;
    decode_utf8(text, pos, len);
    pos += len;
  }
  return n;
}

std::string unicode_upper(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const unicode::UpperRow* rows = unicode::UPPER_ROWS;
  const unicode::UpperRow* rows_end = rows + unicode::UPPER_ROW_COUNT;
  for (size_t pos = 0; pos < text.size();) {
    unsigned char b = static_cast<unsigned char>(text[pos]);
    if (b < 0x80) {
      out.push_back(ascii_to_upper(static_cast<char>(b)));
      ++pos;
      continue;
    }
    size_t len = 0;
    char32_t cp = decode_utf8(text, pos, len);
    if (cp == 0xFFFD && len == 1) {
      out.push_back(text[pos]);  // not UTF-8: keep the byte as it is
      ++pos;
      continue;
    }
    auto it = std::lower_bound(rows, rows_end, cp,
                               [](const unicode::UpperRow& r, char32_t c) { return r.cp < c; });
    if (it != rows_end && it->cp == cp) {
      for (char32_t up : it->upper) {
        if (up != 0) append_utf8(out, up);
      }
    } else {
      out.append(text.substr(pos, len));
    }
    pos += len;
  }
  return out;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (size_t pos = 0; pos < bytes.size();) {
    size_t len = 0;
    char32_t cp = decode_utf8(bytes, pos, len);
    if (cp == 0xFFFD && len == 1 && static_cast<unsigned char>(bytes[pos]) >= 0x80) {
      append_utf8(out, 0xFFFD);
    } else {
      out.append(bytes.substr(pos, len));
    }
    pos += len;
  }
  return out;
}

}  // namespace tamberok
