// Pattern keys against VIN keys: plain keys in place, class keys through
// their compiled regular-expression text.
#include "tamberok/matcher.h"

#include <string>
#include <vector>

#include "support.h"

namespace tamberok::matcher {
namespace {

using testing::ArtifactDb;

std::unique_ptr<ArtifactDb> db_with_keys(const std::vector<std::string>& keys) {
  artifact::Contents c;
  c.wmis = {{.id = 1, .code = "1HG"}};
  for (size_t i = 0; i < keys.size(); ++i) {
    c.patterns.push_back({.id = static_cast<int32_t>(i + 1), .vin_schema_id = 1, .keys = keys[i]});
  }
  return std::make_unique<ArtifactDb>(c);
}

PatternRow pattern_with_id(const Db& db, int32_t id) {
  for (size_t i = 0; i < db.patterns().size(); ++i) {
    if (db.patterns()[i].id == id) return db.patterns()[i];
  }
  throw std::runtime_error("no pattern " + std::to_string(id));
}

TEST(Matcher, PatternKeysMatchVinKeysByPrefixWithWildcardsAndClasses) {
  struct Case {
    std::string keys;
    std::string key;
    bool expected;
  };
  const std::vector<Case> cases = {
      {"*****|*S", "ABCDE|XS123456", true},
      {"*****|*S", "ABCDE|XT123456", false},
      {"*****|*S", "ABCDE|X", false},         // shorter than the keys
      {"*****|*S", "ABCDEFXS123456", false},  // the bar is a literal
      {"_B", "AB", true},
      {"b", "B", false},      // letter case counts
      {"**#", "AB1", false},  // '#' is for formula keys only
      {"", "", true},
      {"**C[AB]", "12CA", true},
      {"**C[AB]", "12CC", false},
      {"**C[AB]", "12C", false},
      {"[^A]", "B", true},  // negated: RE2 path
      {"[^A]", "A", false},
  };
  std::vector<std::string> keys;
  for (const Case& c : cases) keys.push_back(c.keys);
  auto adb = db_with_keys(keys);
  for (size_t i = 0; i < cases.size(); ++i) {
    PatternRow row = pattern_with_id(adb->db(), static_cast<int32_t>(i + 1));
    EXPECT_EQ(match(adb->db(), row, cases[i].key), cases[i].expected)
        << cases[i].keys << " vs " << cases[i].key;
  }
}

using Ranges = std::vector<std::pair<uint8_t, uint8_t>>;

TEST(Matcher, CaretDotStarTextsCompileToTokensAndOtherShapesToRe2OrNothing) {
  struct Case {
    std::string text;
    Compiled::Kind kind;
    std::vector<Token> tokens;
  };
  using K = Token::Kind;
  const Token any{.kind = K::Any};
  auto lit = [](char c) { return Token{.kind = K::Literal, .literal = static_cast<uint8_t>(c)}; };
  auto cls = [](Ranges r) { return Token{.kind = K::Class, .ranges = std::move(r)}; };
  const std::vector<Case> cases = {
      {"^..C[AB].*", Compiled::Kind::Tokens, {any, any, lit('C'), cls({{'A', 'A'}, {'B', 'B'}})}},
      {"^[0-9].*", Compiled::Kind::Tokens, {cls({{'0', '9'}})}},
      {"^[A-].*", Compiled::Kind::Tokens, {cls({{'A', 'A'}, {'-', '-'}})}},
      {"^[-A-CX].*", Compiled::Kind::Tokens, {cls({{'-', '-'}, {'A', 'C'}, {'X', 'X'}})}},
      {"^\\|#.*", Compiled::Kind::Tokens, {lit('|'), lit('#')}},
      {"^[].*", Compiled::Kind::Tokens, {cls({})}},
      {"^.*", Compiled::Kind::Tokens, {}},
      {"^[^A].*", Compiled::Kind::Regex, {}},
      {"^[[A].*", Compiled::Kind::Regex, {}},
      {"^A\\.*", Compiled::Kind::Regex, {}},  // trailing escape: dots after A
      {"^A+.*", Compiled::Kind::Regex, {}},
      {"..C", Compiled::Kind::Regex, {}},
      {"^\xC3\x89.*", Compiled::Kind::Regex, {}},
      {"^[9-0].*", Compiled::Kind::None, {}},  // descending range
      {"^[AB.*", Compiled::Kind::None, {}},    // unterminated class
      {"^(.*", Compiled::Kind::None, {}},
  };
  for (const Case& c : cases) {
    Compiled compiled = compile(c.text);
    ASSERT_EQ(compiled.kind, c.kind) << c.text;
    ASSERT_EQ(compiled.tokens.size(), c.tokens.size()) << c.text;
    for (size_t i = 0; i < c.tokens.size(); ++i) {
      EXPECT_EQ(compiled.tokens[i].kind, c.tokens[i].kind) << c.text << " token " << i;
      EXPECT_EQ(compiled.tokens[i].literal, c.tokens[i].literal) << c.text << " token " << i;
      EXPECT_EQ(compiled.tokens[i].ranges, c.tokens[i].ranges) << c.text << " token " << i;
    }
  }
}

TEST(Matcher, CompiledTextsMatchLikeTheRegularExpressionSearch) {
  struct Case {
    std::string text;
    std::string key;
    bool expected;
  };
  const std::vector<Case> cases = {
      {"^..*", "\n", false},  // Any refuses a line feed, as '.' does
      {"^..*", "A\n", true},         {".A", "\nA", false},
      {"^.......*", "ABCDE", false},  // six Any tokens, five key bytes
      {"^......*", "ABCDE", true},   {"^[].*", "A", false},
      {"^[A-CX].*", "D", false},     {"C[AB]", "12CA", true},  // unanchored search
      {"^C[AB]", "12CA", false},                               // anchored by its own caret
      {"^(.*", "(", false},                                    // did not compile: never matches
  };
  for (const Case& c : cases) {
    EXPECT_EQ(matches(compile(c.text), c.key), c.expected) << c.text << " vs " << c.key;
  }
}

TEST(Matcher, CacheForgetsCompiledTextsWhenTheThreadMeetsAnotherArtifact) {
  // Both artifacts give the class text the same StrId.
  auto first = db_with_keys({"[A]"});
  auto second = db_with_keys({"[B]"});
  PatternRow a = pattern_with_id(first->db(), 1);
  PatternRow b = pattern_with_id(second->db(), 1);
  ASSERT_EQ(a.keys_regex, b.keys_regex);
  EXPECT_TRUE(match(first->db(), a, "A"));
  EXPECT_FALSE(match(second->db(), b, "A"));
  EXPECT_TRUE(match(second->db(), b, "B"));
  EXPECT_TRUE(match(first->db(), a, "A"));
}

}  // namespace
}  // namespace tamberok::matcher
