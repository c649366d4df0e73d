// Character validation of a pass: allowed characters per position from the
// WMI's pattern keys, error codes 2-6 and 14, suggested VIN.
#include "tamberok/errors.h"

#include <cstdio>
#include <latch>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support.h"

namespace tamberok {
namespace {

using testing::ArtifactDb;
using Pairs = std::vector<std::pair<uint32_t, char32_t>>;

// Runs `body` on a new thread, so that it starts with empty per-thread caches.
template <typename Body>
void on_fresh_thread(Body body) {
  std::thread thread(body);
  thread.join();
}

artifact::Contents validation_contents() {
  artifact::Contents c;
  c.wmis = {{.id = 1, .code = "1HG"}, {.id = 2, .code = "2HG"},    {.id = 3, .code = "3HG"},
            {.id = 4, .code = "4HG"}, {.id = 5, .code = "1F9ABC"}, {.id = 6, .code = "6HG"}};
  // Schema 101 is open-ended.
  c.wmi_vin_schemas = {{1, 1, 100, 2000, 2010}, {2, 1, 101, 2011},       {3, 2, 200, 2000, 2010},
                       {4, 3, 300, 2000, 2010}, {5, 4, 400, 2000, 2010}, {6, 5, 500, 2000, 2010}};
  c.patterns = {{1, 100, "[A-C]"},        {2, 101, "[A-J]"}, {3, 200, "*K"},
                {4, 300, "*[AB]"},        {5, 300, "***#"},  {6, 400, "*****|A*Z**ZZZ"},
                {7, 500, "[A-C]****|**Z"}};
  return c;
}

// Names every alphabet character at VIN positions 4 to 8 and 11.
const std::string ALL = "[A-Z0-9]";
const std::vector<std::string> ALL_USED = {ALL + ALL + ALL + ALL + ALL + "|*" + ALL};

TEST(ValidChars, KeysYieldAllowedCharactersPerKeyPosition) {
  // "position:character" of each pair; characters beyond ASCII as U+XXXX.
  auto show = [](const Pairs& pairs) {
    std::string out;
    for (auto [position, c] : pairs) {
      out += (out.empty() ? "" : " ") + std::to_string(position) + ":";
      char code[16];
      std::snprintf(code, sizeof code, c < 0x80 ? "%c" : "U+%04X", static_cast<unsigned>(c));
      out += code;
    }
    return out;
  };
  const std::pair<std::string, std::string> cases[] = {
      {"[A-C]", "1:A 1:B 1:C"},
      {"[a-c]", "1:A 1:B 1:C"},
      {"*D[ab]", "2:D 3:A 3:B"},
      {"#", "1:0 1:1 1:2 1:3 1:4 1:5 1:6 1:7 1:8 1:9"},
      {"[^0-9A-R]", "1:S 1:T 1:U 1:V 1:W 1:X 1:Y 1:Z"},
      {"[H-K]", "1:H 1:J 1:K"},  // a range never yields I
      {"[1268__]", "1:1 1:2 1:6 1:8 1:_ 1:_"},
      {"[*|A]", "1:A"},
      {"*****|*S", "6:| 8:S"},
      {"[[A]B", "1:A 2:B"},
      {"[9-0]A", "2:A"},  // a class that does not compile still takes its position
      {"X[A-C", "1:X"},   // an open class yields nothing
      {"\xC3\x89[\xC3\x89]", "1:U+00C9 2:U+00C9"},
  };
  for (const auto& [key, expected] : cases)
    EXPECT_EQ(show(valid_chars_in_key(key)), expected) << key;
}

TEST(ErrorCode, DescriptorCharactersOutsideTheAllowedSetsGiveCodesTwoToFive) {
  struct Case {
    std::string vin;
    std::string wmi;
    int32_t year;
    std::vector<int32_t> codes;
    std::string suggested;
    std::string possible;
  };
  // Each 17-character case also runs with "XYZ" appended: a long VIN gives the same answer.
  const std::vector<Case> cases = {
      // All allowed; no schema for the year; a WMI without schemas.
      {"1HGBM8261XA004352", "1HG", 2005, {}, "", ""},
      {"1HGDM8260XA004352", "1HG", 3000, {}, "", ""},
      {"6HGDM8260XA004352", "6HG", 2005, {}, "", ""},
      // A one-character set, with a wrong check digit.
      {"2HGDX8265XA004352", "2HG", 2005, {2}, "2HGDK8265XA004352", "(5:K)"},
      // One candidate with the right check digit; none.
      {"1HGDM8261XA004352", "1HG", 2005, {3}, "1HGBM8261XA004352", "(4:B)"},
      {"1HGDM8260XA004352", "1HG", 2005, {4}, "1HG!M8260XA004352", "(4:ABC)"},
      // A link's years include both ends.
      {"1HGDM8260XA004352", "1HG", 2000, {4}, "1HG!M8260XA004352", "(4:ABC)"},
      {"1HGDM8260XA004352", "1HG", 2010, {4}, "1HG!M8260XA004352", "(4:ABC)"},
      {"1HGDM8260XA004352", "1HG", 1999, {}, "", ""},
      // Candidates are checked as car-like whatever the WMI: "B" would give check
      // digit 7, but the letter at position 13 fails the car-like check.
      {"1HGDM8267XA0A4352", "1HG", 2005, {4}, "1HG!M8267XA0A4352", "(4:ABC)"},
      // Two candidates (A and J weigh alike).
      {"1HGKM8267XA004352", "1HG", 2999, {4}, "1HG!M8267XA004352", "(4:ABCDEFGHJ)"},
      // Two error positions, digits first.
      {"3HGDC8X60XA004352", "3HG", 2005, {5}, "3HGD!8!60XA004352", "(5:AB)(7:0123456789)"},
      // A short VIN has no 17-character candidate.
      {"1HGDM826", "1HG", 2005, {4}, "1HG!M826", "(4:ABC)"},
      // A 3-character WMI scans 12 (9, 10 and 15-17 never); a 6-character one owns 12 to 14.
      {"4HGDM8260XA0Z4352", "4HG", 2005, {2}, "4HGDM8260XAZZ4352", "(12:Z)"},
      {"1F9DM8260XAABC352", "1F9ABC", 2005, {4}, "1F9!M8260XAABC352", "(4:ABC)"},
      // A WMI shorter than three characters gives code 6 alone.
      {"1H", "1H", 2005, {6}, "", ""},
  };
  auto adb = std::make_unique<ArtifactDb>(validation_contents());
  for (const Case& c : cases) {
    for (const std::string& vin : {c.vin, c.vin.size() == 17 ? c.vin + "XYZ" : c.vin}) {
      ErrorOutcome out = errorcode(adb->db(), vin, c.wmi, 1, c.year, ALL_USED);
      EXPECT_EQ(out.error_codes, c.codes) << vin;
      EXPECT_EQ(out.suggested_vin, c.suggested) << vin;
      EXPECT_EQ(out.possible_values, c.possible) << vin;
      EXPECT_EQ(out.unused_positions, std::nullopt) << vin;
    }
  }
}

TEST(ErrorCode, UnusedPositionsNameDescriptorCharactersNoMatchedKeyAllows) {
  struct Case {
    std::string vin;
    std::vector<std::string> keys;
    std::optional<std::string> unused;
  };
  const std::vector<Case> cases = {
      {"1HGDM8260XA004352", {}, "4,5,6,7,8,11"},
      {"1HGDM8260", {}, "4,5,6,7,8"},
      {"1HGDM826", {}, "4,5,6,7,8"},
      {"1HGDM8260X", {}, "4,5,6,7,8"},
      {"1HGDM8260XA", {}, "4,5,6,7,8,11"},
      {"1HGD", {}, "4"},
      {"1HG", {}, std::nullopt},
      {"1HGDM8260XA004352", {"[A-D]M", "**#", "****6|*A"}, "7"},
      {"1HGDM8260XA004352", {"[A-D]M", "**#", "****6|*A", "**#", "[A-D]M"}, "7"},
      {"1HGDM8260XA004352", {"[A-D]M#26|*A"}, std::nullopt},
      {"1HGDM8260XA004352", {"DM826|X|"}, "11"},  // a bar never counts
  };
  auto adb = std::make_unique<ArtifactDb>(validation_contents());
  for (const Case& c : cases) {
    ErrorOutcome out = errorcode(adb->db(), c.vin, "1HG", 0, 2005, c.keys);
    EXPECT_EQ(out.unused_positions, c.unused) << c.vin;
    EXPECT_EQ(out.error_codes, c.unused ? std::vector<int32_t>{14} : std::vector<int32_t>{});
    EXPECT_EQ(out.suggested_vin, "");
  }
}

TEST(ErrorCode, CharsetCacheFollowsTheThreadToAnotherArtifact) {
  artifact::Contents other = validation_contents();
  other.patterns[0].keys = "[X]";
  auto first = std::make_unique<ArtifactDb>(validation_contents());
  auto second = std::make_unique<ArtifactDb>(other);
  EXPECT_EQ(errorcode(first->db(), "1HGDM8260XA004352", "1HG", 1, 2005, ALL_USED).possible_values,
            "(4:ABC)");
  EXPECT_EQ(errorcode(second->db(), "1HGDM8260XA004352", "1HG", 1, 2005, ALL_USED).possible_values,
            "(4:X)");
}

TEST(ErrorCode, KeyCharsIsEmptiedByTheInsertionAfterFourThousandNinetySixKeys) {
  auto adb = std::make_unique<ArtifactDb>(validation_contents());
  on_fresh_thread([&] {
    std::vector<std::string> keys;
    for (int i = 0; i < 4096; ++i) keys.push_back(std::to_string(i) + "K");
    errorcode(adb->db(), "1HG", "1HG", 0, 2005, keys);
    EXPECT_EQ(key_chars_size(), 4096u);
    errorcode(adb->db(), "1HG", "1HG", 0, 2005, {"0K", "4095K"});
    EXPECT_EQ(key_chars_size(), 4096u);
    errorcode(adb->db(), "1HG", "1HG", 0, 2005, {"4096K"});
    EXPECT_EQ(key_chars_size(), 1u);
  });
}

// WMIs that share their first characters or their schemas' years, each
// (WMI, year) with its own allowed characters at VIN positions 4 and 5.
struct CachedCase {
  std::string wmi;
  int32_t year;
  std::string possible;  // "" when the WMI has no schema for the year
};

std::vector<CachedCase> cached_cases(artifact::Contents& c) {
  std::vector<std::string> wmis = {"1F9", "1F9ABC", "1F9ABD", "1F9ABCD"};
  for (char letter : std::string_view("ABCDEFGHJKLMNPRSTUVWXYZ"))
    wmis.push_back(std::string("2A") + letter);
  std::vector<CachedCase> cases;
  int32_t schema = 1000;
  for (size_t w = 0; w < wmis.size(); ++w) {
    int32_t wmi_id = static_cast<int32_t>(w + 1);
    c.wmis.push_back({.id = wmi_id, .code = wmis[w]});
    for (int32_t from : {2000, 2005}) {
      size_t k = cases.size();
      char at4 = VIN_ALPHABET[k % 33];
      char at5 = VIN_ALPHABET[k / 33];
      ++schema;
      c.wmi_vin_schemas.push_back({schema, wmi_id, schema, from, from + 4});
      c.patterns.push_back({schema, schema, std::string{at4, at5}});
      cases.push_back({wmis[w], from + 2, std::string("(4:") + at4 + ")(5:" + at5 + ")"});
    }
    cases.push_back({wmis[w], 1990, ""});
  }
  return cases;
}

// "**" at positions 4 and 5 is outside every set.
ErrorOutcome check_cached(const Db& db, const CachedCase& c) {
  return errorcode(db, "1F9**8260XAABC352", c.wmi, 1, c.year, ALL_USED);
}

TEST(ErrorCode, PositionMapsAreMadeOncePerWmiAndRunOfYearsAndSharedByEveryThread) {
  artifact::Contents contents;
  std::vector<CachedCase> cases = cached_cases(contents);
  auto adb = std::make_unique<ArtifactDb>(contents);
  size_t stored = 0;
  for (const CachedCase& c : cases) stored += c.possible.empty() ? 0 : 1;
  // Each round on a thread of its own, the second in reverse order and
  // asking for another year of the same run of years.
  for (int round = 0; round < 2; ++round) {
    on_fresh_thread([&] {
      for (size_t i = 0; i < cases.size(); ++i) {
        CachedCase c = round == 0 ? cases[i] : cases[cases.size() - 1 - i];
        if (round == 1 && !c.possible.empty()) c.year += 2;
        EXPECT_EQ(check_cached(adb->db(), c).possible_values, c.possible)
            << c.wmi << " " << c.year << " round " << round;
      }
    });
    EXPECT_EQ(position_maps_built(adb->db()), stored) << "round " << round;
  }
}

TEST(ErrorCode, KeysAreCachedPerKeyTextAndHitOnTheSecondCall) {
  // Keys around the 8-byte words a key is hashed in, and keys that differ
  // in one character only.
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"D", "5,6,7,8,11"},
      {"E", "4,5,6,7,8,11"},
      {"*M", "4,6,7,8,11"},
      {"*N", "4,5,6,7,8,11"},
      {"**8", "4,5,7,8,11"},
      {"***2", "4,5,6,8,11"},
      {"****6", "4,5,6,7,11"},
      {"*****|*A", "4,5,6,7,8"},
      {"*****|*B", "4,5,6,7,8,11"},
      {"DM826|XA", std::nullopt},
      {"DM826|XB", "11"},
      {"DM826|XA0", std::nullopt},
      {"DM826|XA00435", std::nullopt},
      {"DM827|XA00435", "8"},
      {"[A-D]M826|XA004352", std::nullopt},
      {"[A-D]M826|XA004353", std::nullopt},
      {"[A-C]M826|XA004352", "4"},
  };
  auto adb = std::make_unique<ArtifactDb>(validation_contents());
  on_fresh_thread([&] {
    for (int round = 0; round < 2; ++round) {
      for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& [key, unused] = round == 0 ? cases[i] : cases[std::size(cases) - 1 - i];
        ErrorOutcome out = errorcode(adb->db(), "1HGDM8260XA004352", "1HG", 0, 2005, {key});
        EXPECT_EQ(out.unused_positions, unused) << key << " round " << round;
      }
      EXPECT_EQ(key_chars_size(), std::size(cases)) << "round " << round;
    }
  });
}

TEST(ErrorCode, EachThreadKeepsItsOwnKeysAndSharesThePositionMaps) {
  artifact::Contents contents;
  std::vector<CachedCase> cases = cached_cases(contents);
  auto adb = std::make_unique<ArtifactDb>(contents);
  const std::vector<std::string> keys = {"D", "*M", "**8"};
  // The first thread fills its caches, the second starts while the first
  // still holds them, then the first checks that its own are unchanged.
  std::latch first_filled(1);
  std::latch second_done(1);
  std::thread first([&] {
    EXPECT_EQ(check_cached(adb->db(), cases[1]).possible_values, cases[1].possible);
    errorcode(adb->db(), "1HGDM8260XA004352", "1HG", 0, 2005, keys);
    first_filled.count_down();
    second_done.wait();
    EXPECT_EQ(key_chars_size(), 4u);  // with the key of ALL_USED
    EXPECT_EQ(check_cached(adb->db(), cases[1]).possible_values, cases[1].possible);
  });
  std::thread second([&] {
    first_filled.wait();
    EXPECT_EQ(position_maps_built(adb->db()), 1u);
    EXPECT_EQ(key_chars_size(), 0u);
    EXPECT_EQ(check_cached(adb->db(), cases[1]).possible_values, cases[1].possible);
    EXPECT_EQ(position_maps_built(adb->db()), 1u);
    EXPECT_EQ(check_cached(adb->db(), cases[4]).possible_values, cases[4].possible);
    EXPECT_EQ(errorcode(adb->db(), "1HGDM8260XA004352", "1HG", 0, 2005, {"D"}).unused_positions,
              "5,6,7,8,11");
    EXPECT_EQ(position_maps_built(adb->db()), 2u);
    EXPECT_EQ(key_chars_size(), 2u);
    second_done.count_down();
  });
  first.join();
  second.join();
}

}  // namespace
}  // namespace tamberok
