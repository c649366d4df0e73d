// Matching of stored pattern keys against a VIN key. Plain keys compare in
// place; keys with a bracket class go through their regular-expression text,
// compiled once per thread into a short token list, or by RE2 when the text
// has another shape.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include "tamberok/db.h"

namespace re2 {
class RE2;
}

namespace tamberok::matcher {

// One VIN-key position of a compiled "^...*" text.
struct Token {
  enum class Kind : uint8_t { Any, Literal, Class };
  Kind kind = Kind::Any;
  uint8_t literal = 0;
  std::vector<std::pair<uint8_t, uint8_t>> ranges;  // Class: inclusive, in written order
};

// A compiled regular-expression text: tokens, an RE2 program, or nothing
// (the text did not compile and never matches).
struct Compiled {
  std::vector<Token> tokens;
  // The same tokens as 256-bit sets of accepted bytes, so that matching is
  // one bit test per key position whatever the token's kind.
  std::vector<std::array<uint64_t, 4>> sets;
  std::shared_ptr<const re2::RE2> regex;
  enum class Kind : uint8_t { Tokens, Regex, None } kind = Kind::None;
};

Compiled compile(std::string_view text);

// The text compiled to tokens, or none when only a regular expression
// matches it (or nothing does): for compiled forms shared between threads,
// which never hold a regular-expression object.
std::optional<Compiled> compile_tokens_only(std::string_view text);

// Whether plain keys (no class) match the key: a prefix match where '*' and
// '_' take any byte.
bool plain_matches(std::string_view keys, std::string_view key);

// Whether a compiled text matches the key.
bool matches(const Compiled& compiled, std::string_view key);

// Whether the pattern applies to the VIN key. Uses the calling thread's
// MATCHER_CACHE for class keys.
bool match(const Db& db, const PatternRow& pattern, std::string_view key);

// Whether the class-key text `keys_regex` of `db` matches the key, compiled
// in the calling thread's MATCHER_CACHE.
bool match_class(const Db& db, StrId keys_regex, std::string_view key);

// Entries of MATCHER_CACHE on the calling thread (for tests of its bound).
size_t matcher_cache_size();

}  // namespace tamberok::matcher
