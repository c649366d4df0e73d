// Character validation of a pass: allowed characters per position from the
// WMI's pattern keys, error codes 2-6 and 14, suggested VIN.
#include "tamberok/errors.h"

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
  c.wmi_vin_schemas = {
      {.id = 1, .wmi_id = 1, .vin_schema_id = 100, .year_from = 2000, .year_to = 2010},
      {.id = 2, .wmi_id = 1, .vin_schema_id = 101, .year_from = 2011},  // open-ended
      {.id = 3, .wmi_id = 2, .vin_schema_id = 200, .year_from = 2000, .year_to = 2010},
      {.id = 4, .wmi_id = 3, .vin_schema_id = 300, .year_from = 2000, .year_to = 2010},
      {.id = 5, .wmi_id = 4, .vin_schema_id = 400, .year_from = 2000, .year_to = 2010},
      {.id = 6, .wmi_id = 5, .vin_schema_id = 500, .year_from = 2000, .year_to = 2010},
  };
  c.patterns = {
      {.id = 1, .vin_schema_id = 100, .keys = "[A-C]"},
      {.id = 2, .vin_schema_id = 101, .keys = "[A-J]"},
      {.id = 3, .vin_schema_id = 200, .keys = "*K"},
      {.id = 4, .vin_schema_id = 300, .keys = "*[AB]"},
      {.id = 5, .vin_schema_id = 300, .keys = "***#"},
      {.id = 6, .vin_schema_id = 400, .keys = "*****|A*Z**ZZZ"},
      {.id = 7, .vin_schema_id = 500, .keys = "[A-C]****|**Z"},
  };
  return c;
}

// Names every alphabet character at VIN positions 4 to 8 and 11.
const std::string ALL = "[A-Z0-9]";
const std::vector<std::string> ALL_USED = {ALL + ALL + ALL + ALL + ALL + "|*" + ALL};

TEST(ValidChars, KeysYieldAllowedCharactersPerKeyPosition) {
  struct Case {
    std::string key;
    Pairs expected;
  };
  const std::vector<Case> cases = {
      {"[A-C]", {{1, 'A'}, {1, 'B'}, {1, 'C'}}},
      {"[a-c]", {{1, 'A'}, {1, 'B'}, {1, 'C'}}},
      {"*D[ab]", {{2, 'D'}, {3, 'A'}, {3, 'B'}}},
      {"#",
       {{1, '0'},
        {1, '1'},
        {1, '2'},
        {1, '3'},
        {1, '4'},
        {1, '5'},
        {1, '6'},
        {1, '7'},
        {1, '8'},
        {1, '9'}}},
      {"[^0-9A-R]",
       {{1, 'S'}, {1, 'T'}, {1, 'U'}, {1, 'V'}, {1, 'W'}, {1, 'X'}, {1, 'Y'}, {1, 'Z'}}},
      {"[H-K]", {{1, 'H'}, {1, 'J'}, {1, 'K'}}},  // a range never yields I
      {"[1268__]", {{1, '1'}, {1, '2'}, {1, '6'}, {1, '8'}, {1, '_'}, {1, '_'}}},
      {"[*|A]", {{1, 'A'}}},
      {"*****|*S", {{6, '|'}, {8, 'S'}}},
      {"[[A]B", {{1, 'A'}, {2, 'B'}}},
      {"[9-0]A", {{2, 'A'}}},  // a class that does not compile still takes its position
      {"X[A-C", {{1, 'X'}}},   // an open class yields nothing
      {"\xC3\x89[\xC3\x89]", {{1, U'\u00C9'}, {2, U'\u00C9'}}},
  };
  for (const Case& c : cases) EXPECT_EQ(valid_chars_in_key(c.key), c.expected) << c.key;
}

TEST(ValidChars, ReplacementKeepsAtMostSeventeenCharacters) {
  struct Case {
    std::string vin;
    int32_t position;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"1HGDM8260XA004352", 4, "1HGBM8260XA004352"},
      {"1HGDM8260XA004352XYZ", 4, "1HGBM8260XA004352"},
      {"1HGDM8260XA004352", 17, "1HGDM8260XA00435B"},
      {"1HGDM8260XA004352", 0, "B1HGDM8260XA004352"},
      {"1HGDM", 4, "1HGBM"},
  };
  for (const Case& c : cases) {
    std::vector<char32_t> chars(c.vin.begin(), c.vin.end());
    EXPECT_EQ(build_replace(chars, c.position, "B"), c.expected) << c.vin << " @" << c.position;
  }
}

TEST(ErrorCode, DescriptorCharactersOutsideTheAllowedSetsGiveCodesTwoToFive) {
  struct Case {
    std::string name;
    std::string vin;
    std::string wmi;
    int32_t year;
    std::vector<int32_t> codes;
    std::string suggested;
    std::string possible;
  };
  const std::vector<Case> cases = {
      {"all allowed", "1HGBM8261XA004352", "1HG", 2005, {}, "", ""},
      {"one-character set, wrong check digit",
       "2HGDX8265XA004352",
       "2HG",
       2005,
       {2},
       "2HGDK8265XA004352",
       "(5:K)"},
      {"one candidate with matching check digit",
       "1HGDM8261XA004352",
       "1HG",
       2005,
       {3},
       "1HGBM8261XA004352",
       "(4:B)"},
      {"no candidate with matching check digit",
       "1HGDM8260XA004352",
       "1HG",
       2005,
       {4},
       "1HG!M8260XA004352",
       "(4:ABC)"},
      {"two candidates (A and J weigh alike)",
       "1HGKM8267XA004352",
       "1HG",
       2999,
       {4},
       "1HG!M8267XA004352",
       "(4:ABCDEFGHJ)"},
      {"two error positions, digits first",
       "3HGDC8X60XA004352",
       "3HG",
       2005,
       {5},
       "3HGD!8!60XA004352",
       "(5:AB)(7:0123456789)"},
      {"short VIN has no 17-character candidate",
       "1HGDM826",
       "1HG",
       2005,
       {4},
       "1HG!M826",
       "(4:ABC)"},
      {"3-character WMI scans 12; 9, 10, 15-17 never",
       "4HGDM8260XA0Z4352",
       "4HG",
       2005,
       {2},
       "4HGDM8260XAZZ4352",
       "(12:Z)"},
      {"6-character WMI owns 12 to 14",
       "1F9DM8260XAABC352",
       "1F9ABC",
       2005,
       {4},
       "1F9!M8260XAABC352",
       "(4:ABC)"},
      {"long VIN, code 2", "2HGDX8265XA004352XYZ", "2HG", 2005, {2}, "2HGDK8265XA004352", "(5:K)"},
      {"long VIN, code 3", "1HGDM8261XA004352XYZ", "1HG", 2005, {3}, "1HGBM8261XA004352", "(4:B)"},
      {"long VIN, code 4",
       "1HGDM8260XA004352XYZ",
       "1HG",
       2005,
       {4},
       "1HG!M8260XA004352",
       "(4:ABC)"},
      {"long VIN, code 5",
       "3HGDC8X60XA004352XYZ",
       "3HG",
       2005,
       {5},
       "3HGD!8!60XA004352",
       "(5:AB)(7:0123456789)"},
      {"no schema for the year", "1HGDM8260XA004352", "1HG", 3000, {}, "", ""},
      {"WMI without schemas", "6HGDM8260XA004352", "6HG", 2005, {}, "", ""},
  };
  auto adb = std::make_unique<ArtifactDb>(validation_contents());
  for (const Case& c : cases) {
    ErrorOutcome out = errorcode(adb->db(), c.vin, c.wmi, 1, c.year, ALL_USED);
    EXPECT_EQ(out.error_codes, c.codes) << c.name;
    EXPECT_EQ(out.suggested_vin, c.suggested) << c.name;
    EXPECT_EQ(out.possible_values, c.possible) << c.name;
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

TEST(ErrorCode, WmiShorterThanThreeCharactersGivesCodeSixAlone) {
  auto adb = std::make_unique<ArtifactDb>(validation_contents());
  ErrorOutcome out = errorcode(adb->db(), "1H", "1H", 1, 2005, {});
  EXPECT_EQ(out.error_codes, std::vector<int32_t>{6});
  EXPECT_EQ(out.suggested_vin, "");
  EXPECT_EQ(out.possible_values, "");
  EXPECT_EQ(out.unused_positions, std::nullopt);
}

TEST(ErrorCode, CharsetCacheStoresOnlyNonEmptyPositionMaps) {
  auto adb = std::make_unique<ArtifactDb>(validation_contents());
  on_fresh_thread([&] {
    const Db& db = adb->db();
    errorcode(db, "1HGDM8260XA004352", "1HG", 1, 3000, {});
    errorcode(db, "6HGDM8260XA004352", "6HG", 1, 2005, {});
    errorcode(db, "1HGDM8260XA004352", "1HG", 0, 2005, {});
    EXPECT_EQ(charset_cache_size(), 0u);
    errorcode(db, "1HGDM8260XA004352", "1HG", 1, 2005, {});
    errorcode(db, "1HGDM8260XA004352", "1HG", 1, 2005, {});
    EXPECT_EQ(charset_cache_size(), 1u);
    errorcode(db, "1HGDM8260XA004352", "1HG", 1, 2999, {});
    EXPECT_EQ(charset_cache_size(), 2u);
  });
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

TEST(ErrorCode, KeyCharsIsEmptiedByTheInsertionAfterSixteenThousandThreeHundredEightyFourKeys) {
  auto adb = std::make_unique<ArtifactDb>(validation_contents());
  on_fresh_thread([&] {
    std::vector<std::string> keys;
    for (int i = 0; i < 16384; ++i) keys.push_back(std::to_string(i) + "K");
    errorcode(adb->db(), "1HG", "1HG", 0, 2005, keys);
    EXPECT_EQ(key_chars_size(), 16384u);
    errorcode(adb->db(), "1HG", "1HG", 0, 2005, {"0K", "16383K"});
    EXPECT_EQ(key_chars_size(), 16384u);
    errorcode(adb->db(), "1HG", "1HG", 0, 2005, {"16384K"});
    EXPECT_EQ(key_chars_size(), 1u);
  });
}

}  // namespace
}  // namespace tamberok
