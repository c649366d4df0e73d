// Pattern keys against VIN keys: plain keys in place, class keys through
// their compiled regular-expression text.
#include "tamberok/matcher.h"

#include <string>
#include <thread>
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

TEST(Matcher, CompiledTextsMatchLikeTheRegularExpressionSearch) {
  struct Case {
    std::string text;
    std::string key;
    bool expected;
  };
  const std::vector<Case> cases = {
      {"^..*", "\n", false},  // Any refuses a line feed, as '.' does
      {"^..*", "A\n", true},
      {".A", "\nA", false},
      {"^.......*", "ABCDE", false},  // six Any tokens, five key bytes
      {"^......*", "ABCDE", true},
      {"^[].*", "A", false},
      {"^[A-CX].*", "D", false},
      {"C[AB]", "12CA", true},    // unanchored search
      {"^C[AB]", "12CA", false},  // anchored by its own caret
      {"^(.*", "(", false},       // did not compile: never matches
      // Shapes the token path takes: classes with a "-" first or last, escapes, an empty key.
      {"^..C[AB].*", "12CA", true},
      {"^..C[AB].*", "12CC", false},
      {"^[0-9].*", "5", true},
      {"^[0-9].*", "A", false},
      {"^[A-].*", "-", true},
      {"^[A-].*", "B", false},
      {"^[-A-CX].*", "-", true},
      {"^[-A-CX].*", "B", true},
      {"^[-A-CX].*", "X", true},
      {"^\\|#.*", "|#1", true},
      {"^\\|#.*", "|1", false},
      {"^.*", "", true},
      // Shapes left to RE2, and ones that never match.
      {"^[^A].*", "B", true},
      {"^[^A].*", "A", false},
      {"^[[A].*", "[", true},
      {"^[[A].*", "B", false},
      {"^A\\.*", "AB", true},
      {"^A+.*", "AA", true},
      {"^A+.*", "B", false},
      {"..C", "12C", true},
      {"..C", "C", false},
      {"^\xC3\x89.*", "\xC3\x89X", true},
      {"^\xC3\x89.*", "E", false},
      {"^[9-0].*", "5", false},
      {"^[AB.*", "A", false},
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

TEST(Matcher, CacheIsEmptiedByTheCompileAfterFourThousandNinetySixTexts) {
  std::vector<std::string> keys;
  for (int i = 0; i <= 4096; ++i) keys.push_back("[AB]" + std::to_string(i));
  auto adb = db_with_keys(keys);
  const Db& db = adb->db();
  // A thread of its own, whose cache starts empty.
  std::thread([&] {
    for (int32_t id = 1; id <= 4096; ++id) {
      EXPECT_TRUE(match(db, pattern_with_id(db, id), "B" + std::to_string(id - 1)));
    }
    EXPECT_EQ(matcher_cache_size(), 4096u);
    EXPECT_FALSE(match(db, pattern_with_id(db, 1), "C0"));
    EXPECT_EQ(matcher_cache_size(), 4096u);
    EXPECT_TRUE(match(db, pattern_with_id(db, 4097), "A4096"));
    EXPECT_EQ(matcher_cache_size(), 1u);
  }).join();
}

}  // namespace
}  // namespace tamberok::matcher
