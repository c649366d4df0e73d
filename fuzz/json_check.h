// A strict checker for the JSON texts the fuzz harnesses produce: RFC 8259
// grammar, strict UTF-8 (no overlong forms, no surrogates, nothing above
// U+10FFFF), \u escapes of surrogates only in proper pairs, nothing after
// the one value. Small on purpose: it only says yes or no.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tamberok::fuzz {

// True when `text` is well-formed UTF-8 throughout.
inline bool valid_utf8(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size();
  for (size_t i = 0; i < n;) {
    unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000)) return false;
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

class JsonChecker {
 public:
  explicit JsonChecker(std::string_view text) : s_(text) {}

  bool valid() {
    if (!valid_utf8(s_)) return false;
    space();
    if (!value(0)) return false;
    space();
    return i_ == s_.size();
  }

 private:
  static constexpr int MAX_DEPTH = 64;

  bool at(char c) const { return i_ < s_.size() && s_[i_] == c; }
  bool eat(char c) {
    if (!at(c)) return false;
    ++i_;
    return true;
  }
  void space() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r'))
      ++i_;
  }
  bool literal(std::string_view word) {
    if (s_.substr(i_, word.size()) != word) return false;
    i_ += word.size();
    return true;
  }
  bool digits() {
    size_t start = i_;
    while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
    return i_ > start;
  }
  bool number() {
    eat('-');
    if (eat('0')) {
      if (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') return false;
    } else if (!digits()) {
      return false;
    }
    if (eat('.') && !digits()) return false;
    if (at('e') || at('E')) {
      ++i_;
      if (!eat('+')) eat('-');
      if (!digits()) return false;
    }
    return true;
  }
  bool hex4(uint32_t& out) {
    if (i_ + 4 > s_.size()) return false;
    out = 0;
    for (int k = 0; k < 4; ++k) {
      char c = s_[i_++];
      out <<= 4;
      if (c >= '0' && c <= '9') {
        out |= c - '0';
      } else if (c >= 'a' && c <= 'f') {
        out |= c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        out |= c - 'A' + 10;
      } else {
        return false;
      }
    }
    return true;
  }
  bool string() {
    if (!eat('"')) return false;
    while (i_ < s_.size()) {
      unsigned char c = static_cast<unsigned char>(s_[i_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c != '\\') continue;
      if (i_ >= s_.size()) return false;
      char e = s_[i_++];
      if (e == 'u') {
        uint32_t unit;
        if (!hex4(unit)) return false;
        if (unit >= 0xDC00 && unit <= 0xDFFF) return false;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
          uint32_t low;
          if (!eat('\\') || !eat('u') || !hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
        }
      } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) {
        return false;
      }
    }
    return false;
  }
  bool value(int depth) {
    if (depth > MAX_DEPTH || i_ >= s_.size()) return false;
    char c = s_[i_];
    if (c == '{') return object(depth);
    if (c == '[') return array(depth);
    if (c == '"') return string();
    if (c == 't') return literal("true");
    if (c == 'f') return literal("false");
    if (c == 'n') return literal("null");
    return number();
  }
  bool object(int depth) {
    eat('{');
    space();
    if (eat('}')) return true;
    do {
      space();
      if (!string()) return false;
      space();
      if (!eat(':')) return false;
      space();
      if (!value(depth + 1)) return false;
      space();
    } while (eat(','));
    return eat('}');
  }
  bool array(int depth) {
    eat('[');
    space();
    if (eat(']')) return true;
    do {
      space();
      if (!value(depth + 1)) return false;
      space();
    } while (eat(','));
    return eat(']');
  }

  std::string_view s_;
  size_t i_ = 0;
};

}  // namespace tamberok::fuzz
