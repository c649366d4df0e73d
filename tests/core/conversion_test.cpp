// Exact decimal arithmetic of unit conversions and the conversions stage of
// a pass.
#include "tamberok/conversion.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support.h"

namespace tamberok {
namespace {

using testing::ArtifactDb;

std::string panic_message(const std::function<void()>& f) {
  try {
    f();
  } catch (const Panic& p) {
    return p.what();
  }
  return "(no panic)";
}

std::string repeat(std::string_view text, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += text;
  return out;
}

std::string digits_of(uint128 v) {
  std::string s;
  do {
    s.insert(s.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
    v /= 10;
  } while (v != 0);
  return s;
}

TEST(DecParse, ReadsSignDigitsAndPointAsWritten) {
  struct Case {
    std::string text;
    std::string digits;
    uint32_t scale;
    bool negative;
  };
  const Case cases[] = {
      {"2.5", "25", 1, false},
      {"5.", "5", 0, false},
      {".5", "5", 1, false},
      {"+2.5", "25", 1, false},
      {" 2.5\t", "25", 1, false},
      {"\u00a02.5\u3000", "25", 1, false},  // Unicode blanks trim too
      {"007.50", "00750", 2, false},
      {"0.016387064", "0016387064", 9, false},
      {"-0", "0", 0, true},
      {"-.5", "5", 1, true},
  };
  for (const Case& c : cases) {
    std::optional<Dec> d = Dec::parse(c.text);
    ASSERT_TRUE(d.has_value()) << c.text;
    EXPECT_EQ(d->digits, c.digits) << c.text;
    EXPECT_EQ(d->scale, c.scale) << c.text;
    EXPECT_EQ(d->negative, c.negative) << c.text;
  }
}

TEST(DecParse, RefusesTextsThatAreNotPlainDecimals) {
  for (const char* text : {"", "   ", "+", "-", ".", "+.", "2,5", "1e3", "--1", "+-1", "1.2.3",
                           "1 000", "2.5L", "\u0663", "0x10", "1+"}) {
    EXPECT_FALSE(Dec::parse(text).has_value()) << text;
  }
}

TEST(DecWeight, GivesTheLeadingGroupOfFourAlignedAtThePoint) {
  struct Case {
    std::string text;
    int32_t weight;
    int64_t first;
  };
  const Case cases[] = {
      {"2500", 0, 2500}, {"16.387064", 0, 16}, {"1000.", 0, 1000},    {"0.016387064", -1, 163},
      {"0.5", -1, 5000}, {"1.0", 0, 1},        {"0", 0, 0},           {"000.000", 0, 0},
      {"12345", 1, 1},   {"0.0001", -1, 1},    {"0.00001", -2, 1000}, {"-0.5", -1, 5000},
  };
  for (const Case& c : cases) {
    auto [weight, first] = Dec::weight_and_firstdigit(*Dec::parse(c.text));
    EXPECT_EQ(weight, c.weight) << c.text;
    EXPECT_EQ(first, c.first) << c.text;
  }
}

TEST(LongDiv, GivesOneQuotientDigitPerInputDigitAndTheRemainder) {
  constexpr uint128 MAX = ~uint128{0};
  struct Case {
    std::string digits;
    uint128 divisor;
    std::string quotient;
    uint128 remainder;
  };
  const std::string max = digits_of(MAX);
  const Case cases[] = {
      {"", 7, "", 0},
      {"100", 7, "014", 2},
      {"0025", 5, "0005", 0},
      {"9", 10, "0", 9},
      // Divisors too large for r * 10 to fit in 128 bits still divide exactly.
      {max, MAX, std::string(max.size() - 1, '0') + "1", 0},
      {max + "9", MAX, std::string(max.size() - 1, '0') + "10", 9},
      {max, MAX - 1, std::string(max.size() - 1, '0') + "1", 1},
  };
  for (const Case& c : cases) {
    auto [q, r] = long_div(c.digits, c.divisor);
    EXPECT_EQ(q, c.quotient) << c.digits;
    EXPECT_TRUE(r == c.remainder) << c.digits;
  }
  EXPECT_EQ(panic_message([] { long_div("1x", 3); }), "ascii digits");
}

TEST(RoundUpIf, AddsOneInTheLastPlaceCarryingThroughNines) {
  struct Case {
    std::string digits;
    bool cond;
    std::string expected;
  };
  const Case cases[] = {
      {"123", false, "123"},  {"123", true, "124"}, {"129", true, "130"},  {"999", true, "1000"},
      {"0999", true, "1000"}, {"", true, "1"},      {"12a", false, "12a"},
  };
  for (const Case& c : cases) EXPECT_EQ(round_up_if(c.digits, c.cond), c.expected) << c.digits;
  for (const char* digits : {"1a", "/9", "a19"}) {
    EXPECT_EQ(panic_message([&] { round_up_if(digits, true); }), "ascii digits") << digits;
  }
}

TEST(FormatFixed, ShowsExactlyScaleDecimals) {
  struct Case {
    std::string digits;
    uint32_t scale;
    std::string expected;
  };
  const Case cases[] = {
      {"0025000", 1, "2500.0"}, {"000", 0, "0"},      {"", 3, "0.000"},    {"5", 3, "0.005"},
      {"123", 3, "0.123"},      {"1234", 3, "1.234"}, {"00100", 0, "100"},
  };
  for (const Case& c : cases) EXPECT_EQ(format_fixed(c.digits, c.scale), c.expected) << c.digits;
}

TEST(EvaluateFormula, ComputesExactProductsAndRoundedQuotients) {
  struct Case {
    std::string formula;
    std::string attribute;
    std::string expected;
  };
  const Case cases[] = {
      {"#x# * 16.387064 ", "0", "0.000000"},
      {"#x# * 1000", "5.", "5000"},
      {"#x# * 1000", ".5", "500.0"},
      {"#x# * 1000", "+2.5", "2500.0"},
      {"#x# * 1000", " 2.5 ", "2500.0"},
      {"#x# * 1000", "2,5", "0"},
      {"#x# * 1000", "1e3", "0"},
      {"#x# * 1000", "2.50", "2500.00"},
      {"#x# * 1000", "-0", "0"},
      {"#x# * -2", "-1.5", "3.0"},
      {"#x# / 3", "-2", "-0.66666666666666666667"},
      // Large quotients keep no decimals and round half away from zero.
      {"#x# / 2", "100000000000000000001", "50000000000000000001"},
      {"#x# / 2", "-100000000000000000001", "-50000000000000000001"},
      // Rounding that carries through all nines changes the integer part.
      {"#x# / 3", "2.9999999999999999999999", "1.0000000000000000000000"},
      {"#x# / 3", "29.999999999999999999999", "10.000000000000000000000"},
      {"#x# / 000000000000000000000000000000000000000000002", "1", "0.50000000000000000000"},
      {"#x# / 100000000000000000000000000000000000000", "1",
       "0.00000000000000000000000000000000000001000000000000000000"},
      {"0.5 * #x# * 2", "3", "6"},  // text before the placeholder is ignored
      {"#x#*2", "3", "6"},
      {"#x# \u00a0/\t4 ", "1", "0.25000000000000000000"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(evaluate_formula(c.formula, c.attribute), c.expected)
        << c.formula << " with " << c.attribute;
  }
}

TEST(EvaluateFormula, GivesZeroWhenTheFormulaCannotBeEvaluated) {
  struct Case {
    std::string formula;
    std::string attribute;
  };
  const Case cases[] = {
      {"#x# / 0", "5"},
      {"#x# / 0.000", "5"},
      {"#x# + 1", "5"},
      {"#x# - 1", "5"},
      {"x / 2", "5"},
      {"#x#", "5"},
      {"#x#   ", "5"},
      {"#x# * abc", "5"},
      {"#x# * ", "5"},
      {"#x# \u00d7 2", "5"},
      {"#x# * 2 #x#", "5"},
      // A divisor of 39 digits beyond the 128-bit range.
      {"#x# / 1000000000000000000000000000000000000000", "1"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(evaluate_formula(c.formula, c.attribute), "0") << c.formula;
  }
}

TEST(EvaluateFormula, LongOperandsStayBoundedByTheDecimalCap) {
  // A dividend with more than 1000 decimals moves its excess into the divisor.
  EXPECT_EQ(evaluate_formula("#x# / 2", "1." + std::string(1010, '0')),
            "0." + std::string("5") + std::string(999, '0'));
  // ... and fails once that divisor no longer fits in 128 bits.
  EXPECT_EQ(evaluate_formula("#x# / 2", "1." + std::string(1100, '0')), "0");
  // A divisor with thousands of decimals caps the quotient at 1000 decimals.
  EXPECT_EQ(evaluate_formula("#x# / 0." + std::string(4999, '0') + "1", "1"),
            "1" + std::string(5000, '0') + "." + std::string(1000, '0'));
  // Products keep every digit, however long.
  std::string nines(3000, '9');
  EXPECT_EQ(evaluate_formula("#x# * 1000", nines), nines + "000");
  EXPECT_EQ(evaluate_formula("#x# * 0.001", "-" + nines), "-" + std::string(2997, '9') + ".999");
}

// ---- The conversions stage ------------------------------------------------

artifact::Contents displacement_conversions() {
  artifact::Contents c;
  c.wmis = {{.id = 1, .code = "1HG"}};
  c.conversions = {
      {.id = 1, .from_element_id = 11, .to_element_id = 12, .formula = "#x# / 16.387064 "},
      {.id = 2, .from_element_id = 12, .to_element_id = 11, .formula = "#x# * 16.387064 "},
      {.id = 3, .from_element_id = 11, .to_element_id = 13, .formula = "#x# / 1000."},
      {.id = 4, .from_element_id = 13, .to_element_id = 11, .formula = "#x# * 1000"},
      {.id = 5, .from_element_id = 12, .to_element_id = 13, .formula = "#x# * 0.016387064 "},
      {.id = 7, .from_element_id = 13, .to_element_id = 12, .formula = "#x# / 0.016387064 "},
  };
  return c;
}

DecodingItem source_item(int32_t element_id, std::string attribute, int32_t priority = 0,
                         int64_t created_on = NONE_I64) {
  DecodingItem item;
  item.keys = "*****|*" + std::to_string(element_id);
  item.attribute_id = std::move(attribute);
  item.value = "XXX";
  item.source = "Pattern";
  item.created_on = created_on;
  item.element_id = element_id;
  item.priority = priority;
  return item;
}

// (element, source, value) of each item the stage appended.
std::vector<std::string> appended(const std::vector<DecodingItem>& items, size_t before) {
  std::vector<std::string> out;
  for (size_t i = before; i < items.size(); ++i) {
    out.push_back(std::to_string(items[i].element_id) + " | " + items[i].source + " | " +
                  items[i].value);
  }
  return out;
}

TEST(AppendConversions, WorkedValuesCarryTheFormulaAsSourceText) {
  ArtifactDb a(displacement_conversions());
  struct Case {
    int32_t element;
    std::string attribute;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {13,
       "2.5",
       {"11 | Conversion 4: 2.5 * 1000 | 2500.0",
        "12 | Conversion 7: 2.5 / 0.016387064  | 152.5593602368307099"}},
      {11,
       "2500",
       {"12 | Conversion 1: 2500 / 16.387064  | 152.5593602368307099",
        "13 | Conversion 3: 2500 / 1000. | 2.5000000000000000"}},
      {11,
       "1.0",
       {"12 | Conversion 1: 1.0 / 16.387064  | 0.06102374409473228395",
        "13 | Conversion 3: 1.0 / 1000. | 0.00100000000000000000"}},
      {12,
       "-3",
       {"11 | Conversion 2: -3 * 16.387064  | -49.161192",
        "13 | Conversion 5: -3 * 0.016387064  | -0.049161192"}},
      {11,
       "0",
       {"12 | Conversion 1: 0 / 16.387064  | 0.00000000000000000000",
        "13 | Conversion 3: 0 / 1000. | 0.00000000000000000000"}},
      {13,
       "0",
       {"11 | Conversion 4: 0 * 1000 | 0",
        "12 | Conversion 7: 0 / 0.016387064  | 0.0000000000000000"}},
      {13,
       "2.5L",
       {"11 | Conversion 4: 2.5L * 1000 | 0", "12 | Conversion 7: 2.5L / 0.016387064  | 0"}},
  };
  for (const Case& c : cases) {
    std::vector<DecodingItem> items = {source_item(c.element, c.attribute)};
    append_conversions(items, a.db());
    EXPECT_EQ(appended(items, 1), c.expected) << c.attribute;
  }
}

TEST(AppendConversions, ItemCopiesTheSourceItemsKeysAndIds) {
  ArtifactDb a(displacement_conversions());
  DecodingItem src = source_item(13, "2.5L", 7, 1234);
  src.pattern_id = 55;
  src.vin_schema_id = 66;
  src.wmi_id = 77;
  src.to_be_qced = true;
  std::vector<DecodingItem> items = {src};
  append_conversions(items, a.db());
  ASSERT_EQ(items.size(), 3u);
  const DecodingItem& it = items[1];
  EXPECT_EQ(it.keys, "*****|*13");
  EXPECT_EQ(it.attribute_id, "0");
  EXPECT_EQ(it.value, "0");
  EXPECT_EQ(it.source, "Conversion 4: 2.5L * 1000");
  EXPECT_EQ(it.created_on, NONE_I64);
  EXPECT_EQ(it.pattern_id, 55);
  EXPECT_EQ(it.vin_schema_id, 66);
  EXPECT_EQ(it.wmi_id, 77);
  EXPECT_EQ(it.element_id, 11);
  EXPECT_EQ(it.priority, 100);
  EXPECT_FALSE(it.to_be_qced);
}

TEST(AppendConversions, ExistingTargetIsNeverOverwrittenWhateverItsValue) {
  ArtifactDb a(displacement_conversions());
  for (const char* value : {"Not Applicable", "", "XXX"}) {
    DecodingItem known = source_item(12, "");
    known.value = value;
    std::vector<DecodingItem> items = {source_item(11, "2500"), known};
    append_conversions(items, a.db());
    EXPECT_EQ(appended(items, 2),
              std::vector<std::string>{"13 | Conversion 3: 2500 / 1000. | 2.5000000000000000"})
        << value;
  }
}

TEST(AppendConversions, CompetingSourcesRankByPriorityThenTimeThenConversionId) {
  ArtifactDb a(displacement_conversions());
  // An item of 11 ("2500", conversion 1 into 12) against one of 13 ("2.5",
  // conversion 7 into 12); the other targets are already taken.
  struct Case {
    const char* name;
    int32_t priority_11;
    int64_t created_11;
    int32_t priority_13;
    int64_t created_13;
    std::string expected_source;
  };
  const Case cases[] = {
      {"equal, no times: lower conversion id", 5, NONE_I64, 5, NONE_I64,
       "Conversion 1: 2500 / 16.387064 "},
      {"higher priority wins", 5, NONE_I64, 6, NONE_I64, "Conversion 7: 2.5 / 0.016387064 "},
      {"newer wins", 5, 100, 5, 200, "Conversion 7: 2.5 / 0.016387064 "},
      {"older loses", 5, 300, 5, 200, "Conversion 1: 2500 / 16.387064 "},
      {"no time beats a time", 5, 300, 5, NONE_I64, "Conversion 7: 2.5 / 0.016387064 "},
      {"priority before time", 6, 1, 5, NONE_I64, "Conversion 1: 2500 / 16.387064 "},
  };
  for (const Case& c : cases) {
    std::vector<DecodingItem> items = {source_item(11, "2500", c.priority_11, c.created_11),
                                       source_item(13, "2.5", c.priority_13, c.created_13)};
    append_conversions(items, a.db());
    ASSERT_EQ(items.size(), 3u) << c.name;
    EXPECT_EQ(items[2].element_id, 12) << c.name;
    EXPECT_EQ(items[2].source, c.expected_source) << c.name;
  }
}

TEST(AppendConversions, UndatedItemOfOneElementWinsOverADatedOne) {
  ArtifactDb a(displacement_conversions());
  std::vector<DecodingItem> items = {source_item(13, "2.5", 5, 999), source_item(13, "3.0", 5)};
  append_conversions(items, a.db());
  EXPECT_EQ(appended(items, 2), (std::vector<std::string>{"11 | Conversion 4: 3.0 * 1000 | 3000.0",
                                                          "12 | Conversion 7: 3.0 / 0.016387064  | "
                                                          "183.0712322841968519"}));
}

TEST(AppendConversions, FailedEvaluationStillClaimsTheTarget) {
  ArtifactDb a(displacement_conversions());
  std::vector<DecodingItem> items = {source_item(13, "abc", 10), source_item(13, "2.5", 5)};
  append_conversions(items, a.db());
  EXPECT_EQ(appended(items, 2),
            (std::vector<std::string>{"11 | Conversion 4: abc * 1000 | 0",
                                      "12 | Conversion 7: abc / 0.016387064  | 0"}));
}

TEST(AppendConversions, ConvertedItemsDoNotFeedFurtherConversions) {
  artifact::Contents c;
  c.wmis = {{.id = 1, .code = "1HG"}};
  c.conversions = {{.id = 1, .from_element_id = 1, .to_element_id = 2, .formula = "#x# * 2"},
                   {.id = 2, .from_element_id = 2, .to_element_id = 3, .formula = "#x# * 3"}};
  ArtifactDb a(c);
  std::vector<DecodingItem> items = {source_item(1, "5")};
  append_conversions(items, a.db());
  EXPECT_EQ(appended(items, 1), std::vector<std::string>{"2 | Conversion 1: 5 * 2 | 10"});
}

TEST(AppendConversions, SourceTextIsCutToFiftyCharacters) {
  artifact::Contents c = displacement_conversions();
  c.conversions.push_back(
      {.id = 9, .from_element_id = 20, .to_element_id = 21, .formula = "#x# * 2 then #x# again"});
  ArtifactDb a(c);
  struct Case {
    int32_t element;
    std::string attribute;
    std::string source;
  };
  const Case cases[] = {
      {11, "1234567890123456789012345678901234567890",
       "Conversion 1: 123456789012345678901234567890123456"},
      {13, repeat("\u00fc", 60), "Conversion 4: " + repeat("\u00fc", 36)},
      {20, "7", "Conversion 9: 7 * 2 then 7 again"},
  };
  for (const Case& cs : cases) {
    std::vector<DecodingItem> items = {source_item(cs.element, cs.attribute)};
    append_conversions(items, a.db());
    ASSERT_GE(items.size(), 2u);
    EXPECT_EQ(items[1].source, cs.source);
  }
}

}  // namespace
}  // namespace tamberok
