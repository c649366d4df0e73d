#include "tamberok/matcher.h"

#include <re2/re2.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "tamberok/hash.h"
#include "tamberok/thread_state.h"

namespace tamberok::matcher {

namespace {

// Bytes that carry regular-expression meaning outside a class; a text that
// uses any of them is not a plain position list and goes to RE2.
bool is_operator(unsigned char c) {
  switch (c) {
    case '(':
    case ')':
    case '*':
    case '+':
    case '$':
    case '?':
    case ']':
    case '^':
    case '{':
    case '|':
    case '}':
      return true;
    default:
      return false;
  }
}

// Reads one bracket class starting just after its '['; `at` ends just after
// the closing ']'. None when the class needs a real regular-expression
// engine (negation, nesting, escapes, a descending range, no closing ']').
std::optional<Token> read_class(std::string_view body, size_t& at) {
  if (at >= body.size() || body[at] == '^') return std::nullopt;
  Token token{.kind = Token::Kind::Class};
  while (at < body.size()) {
    unsigned char c = static_cast<unsigned char>(body[at]);
    if (c == '[' || c == '\\') return std::nullopt;
    if (c == ']') {
      ++at;
      return token;
    }
    bool range = at + 2 < body.size() && body[at + 1] == '-';
    if (range && body[at + 2] != ']') {
      unsigned char hi = static_cast<unsigned char>(body[at + 2]);
      if (hi < c) return std::nullopt;
      token.ranges.emplace_back(c, hi);
      at += 3;
    } else {
      // Also "A-]": 'A' here, then the '-' as a member of its own.
      token.ranges.emplace_back(c, c);
      ++at;
    }
  }
  return std::nullopt;
}

// The token list of a "^" body ".*" text, or none when the text has another
// shape.
std::optional<std::vector<Token>> compile_tokens(std::string_view text) {
  if (text.size() < 3 || text.front() != '^' || !text.ends_with(".*")) return std::nullopt;
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return std::nullopt;
  }
  std::string_view body = text.substr(1, text.size() - 3);
  std::vector<Token> tokens;
  size_t at = 0;
  while (at < body.size()) {
    unsigned char c = static_cast<unsigned char>(body[at]);
    if (c == '.') {
      tokens.push_back(Token{.kind = Token::Kind::Any});
      ++at;
    } else if (c == '\\') {
      if (at + 1 >= body.size()) return std::nullopt;
      tokens.push_back(
          Token{.kind = Token::Kind::Literal, .literal = static_cast<uint8_t>(body[at + 1])});
      at += 2;
    } else if (c == '[') {
      ++at;
      std::optional<Token> token = read_class(body, at);
      if (!token) return std::nullopt;
      tokens.push_back(std::move(*token));
    } else if (is_operator(c)) {
      return std::nullopt;
    } else {
      tokens.push_back(Token{.kind = Token::Kind::Literal, .literal = c});
      ++at;
    }
  }
  return tokens;
}

void add_byte(std::array<uint64_t, 4>& set, unsigned c) {
  set[c >> 6] |= uint64_t{1} << (c & 63);
}

// The bytes a token accepts: any but a line feed for '.', one for a
// literal, its ranges for a class.
std::array<uint64_t, 4> accepted_bytes(const Token& token) {
  std::array<uint64_t, 4> set{};
  switch (token.kind) {
    case Token::Kind::Any:
      set.fill(~uint64_t{0});
      set[0] &= ~(uint64_t{1} << '\n');
      break;
    case Token::Kind::Literal:
      add_byte(set, token.literal);
      break;
    case Token::Kind::Class:
      for (const auto& [lo, hi] : token.ranges) {
        for (unsigned c = lo; c <= hi; ++c) add_byte(set, c);
      }
      break;
  }
  return set;
}

// Compiled texts by keys_regex StrId. A StrId names a text only within one
// artifact, so the map is emptied when the thread meets another Db; and it
// is emptied when full, so that a long run over many schemas cannot grow it
// without bound on every thread.
struct MatcherCache {
  uint64_t serial = 0;
  std::unordered_map<StrId, Compiled, FxHash> compiled;
};
thread_local MatcherCache MATCHER_CACHE;
constexpr size_t MATCHER_CACHE_LIMIT = 4096;

}  // namespace

bool plain_matches(std::string_view keys, std::string_view key) {
  if (keys.size() > key.size()) return false;
  for (size_t i = 0; i < keys.size(); ++i) {
    char k = keys[i];
    if (k != '*' && k != '_' && k != key[i]) return false;
  }
  return true;
}

std::optional<Compiled> compile_tokens_only(std::string_view text) {
  std::optional<std::vector<Token>> tokens = compile_tokens(text);
  if (!tokens) return std::nullopt;
  Compiled out;
  out.tokens = std::move(*tokens);
  out.sets.reserve(out.tokens.size());
  for (const Token& token : out.tokens) out.sets.push_back(accepted_bytes(token));
  out.kind = Compiled::Kind::Tokens;
  return out;
}

Compiled compile(std::string_view text) {
  if (std::optional<Compiled> tokens = compile_tokens_only(text)) return std::move(*tokens);
  Compiled out;
  RE2::Options options;
  options.set_log_errors(false);
  auto regex = std::make_shared<const RE2>(re2::StringPiece(text.data(), text.size()), options);
  if (regex->ok()) {
    out.regex = std::move(regex);
    out.kind = Compiled::Kind::Regex;
  }
  return out;
}

bool matches(const Compiled& compiled, std::string_view key) {
  switch (compiled.kind) {
    case Compiled::Kind::Tokens: {
      const std::vector<std::array<uint64_t, 4>>& sets = compiled.sets;
      if (sets.size() > key.size()) return false;
      for (size_t i = 0; i < sets.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(key[i]);
        if (((sets[i][c >> 6] >> (c & 63)) & 1) == 0) return false;
      }
      return true;
    }
    case Compiled::Kind::Regex:
      return RE2::PartialMatch(re2::StringPiece(key.data(), key.size()), *compiled.regex);
    case Compiled::Kind::None:
      return false;
  }
  return false;
}

bool match_class(const Db& db, StrId keys_regex, std::string_view key) {
  MatcherCache& cache = MATCHER_CACHE;
  if (cache.serial != db.serial()) {
    cache.compiled.clear();
    cache.serial = db.serial();
  }
  auto it = cache.compiled.find(keys_regex);
  if (it == cache.compiled.end()) {
    Compiled compiled = compile(db.string(keys_regex));
    if (cache.compiled.size() >= MATCHER_CACHE_LIMIT) cache.compiled.clear();
    it = cache.compiled.emplace(keys_regex, std::move(compiled)).first;
  }
  return matches(it->second, key);
}

bool match(const Db& db, const PatternRow& pattern, std::string_view key) {
  if ((pattern.has_class & 1) == 0) return plain_matches(db.string(pattern.keys), key);
  return match_class(db, pattern.keys_regex, key);
}

size_t matcher_cache_size() {
  return MATCHER_CACHE.compiled.size();
}

}  // namespace tamberok::matcher

namespace tamberok {

void thread_state::prepare_matcher() {
  (void)&matcher::MATCHER_CACHE;
  // Compiling and matching once makes the library's per-thread state (and
  // the C++ runtime's once-call state it uses).
  RE2 regex("a|b");
  (void)RE2::PartialMatch("b", regex);
}

}  // namespace tamberok
