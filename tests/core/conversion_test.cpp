// Exact decimal arithmetic of unit conversions and the conversions stage of
// a pass.
#include "tamberok/conversion.h"

#include <optional>
#include <string>
#include <vector>

#include "support.h"

namespace tamberok {
namespace {

using testing::ArtifactDb;

std::string repeat(std::string_view text, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += text;
  return out;
}

TEST(EvaluateFormula, ComputesExactProductsAndRoundedQuotientsElseZero) {
  struct Case {
    std::string formula;
    std::string attribute;
    std::string expected;
  };
  const Case cases[] = {
      // Attributes read as written: sign, digits and point, blanks of any kind trimmed.
      {"#x# * 1", "007.50", "7.50"},
      {"#x# * 1", "-.5", "-0.5"},
      {"#x# * 1", "\u00a02.5\u3000", "2.5"},
      {"#x# * 1", "0.016387064", "0.016387064"},
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
      // The quotient's decimals follow the dividend's leading group of four digits.
      {"#x# / 3", "0.5", "0.16666666666666666667"},
      {"#x# / 3", "0.0001", "0.000033333333333333333333"},
      {"#x# / 3", "0.00001", "0.000003333333333333333333"},
      {"#x# / 3", "1000.", "333.3333333333333333"},
      {"#x# / 3", "12345", "4115.0000000000000000"},
      {"#x# / 3", "000.000", "0.00000000000000000000"},
      {"#x# / 7", "100", "14.2857142857142857"},
      // Divisors too large for remainder * 10 to fit in 128 bits still divide
      // exactly: (2^128 - 2) / (2^128 - 1) and (2^127 - 1) / (2^128 - 1).
      {"#x# / 340282366920938463463374607431768211455", "340282366920938463463374607431768211454",
       "1.00000000000000000000"},
      {"#x# / 340282366920938463463374607431768211455", "170141183460469231731687303715884105727",
       "0.50000000000000000000"},
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
  // Formulas and attributes that cannot be evaluated give "0"; the last
  // divisor has 40 digits, beyond the 128-bit range.
  for (const char* formula : {"#x# / 0", "#x# / 0.000", "#x# + 1", "#x# - 1", "x / 2", "#x#",
                              "#x#   ", "#x# * abc", "#x# * ", "#x# \u00d7 2", "#x# * 2 #x#",
                              "#x# / 1000000000000000000000000000000000000000"}) {
    EXPECT_EQ(evaluate_formula(formula, "1"), "0") << formula;
  }
  for (const char* text :
       {"", "   ", "+", "-", ".", "+.", "--1", "+-1", "1.2.3", "1 000", "\u0663", "0x10", "1+"}) {
    EXPECT_EQ(evaluate_formula("#x# * 1", text), "0") << "attribute " << text;
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

// The six displacement conversions of vPIC, and 20 -> 21 -> 22, a chain.
artifact::Contents displacement_conversions() {
  artifact::Contents c;
  c.wmis = {{.id = 1, .code = "1HG"}};
  c.conversions = {{1, 11, 12, "#x# / 16.387064 "},
                   {2, 12, 11, "#x# * 16.387064 "},
                   {3, 11, 13, "#x# / 1000."},
                   {4, 13, 11, "#x# * 1000"},
                   {5, 12, 13, "#x# * 0.016387064 "},
                   {7, 13, 12, "#x# / 0.016387064 "},
                   {8, 20, 21, "#x# * 2 then #x# again"},
                   {9, 21, 22, "#x# * 3"}};
  return c;
}

DecodingItem source_item(int32_t element_id, std::string attribute, int32_t priority = 0,
                         int64_t created_on = NONE_I64, std::string value = "XXX") {
  DecodingItem item{.keys = "*****|*" + std::to_string(element_id), .source = "Pattern"};
  item.attribute_id = std::move(attribute);
  item.value = std::move(value);
  item.created_on = created_on;
  item.element_id = element_id;
  item.priority = priority;
  return item;
}

// (element, source, value) of each item the stage appended.
std::vector<std::string> appended(std::vector<DecodingItem> items) {
  static const ArtifactDb* db = new ArtifactDb(displacement_conversions());
  size_t before = items.size();
  append_conversions(items, db->db());
  std::vector<std::string> out;
  for (size_t i = before; i < items.size(); ++i) {
    out.push_back(std::to_string(items[i].element_id) + " | " + items[i].source + " | " +
                  items[i].value);
  }
  return out;
}

TEST(AppendConversions, WorkedValuesCarryTheFormulaAsSourceText) {
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
      // Every placeholder names the attribute; converted items feed no further conversion.
      {20, "7", {"21 | Conversion 8: 7 * 2 then 7 again | 0"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(appended({source_item(c.element, c.attribute)}), c.expected) << c.attribute;
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
  EXPECT_EQ(std::tie(it.keys, it.attribute_id, it.value, it.source),
            std::make_tuple("*****|*13", "0", "0", "Conversion 4: 2.5L * 1000"));
  EXPECT_EQ(std::make_tuple(it.created_on, it.pattern_id, it.vin_schema_id, it.wmi_id,
                            it.element_id, it.priority, it.to_be_qced),
            std::make_tuple(NONE_I64, 55, 66, 77, 11, 100, false));
}

TEST(AppendConversions, OneItemPerTargetRankedByPriorityThenTimeThenConversionId) {
  const std::string by_1 = "12 | Conversion 1: 2500 / 16.387064  | 152.5593602368307099";
  const std::string by_7 = "12 | Conversion 7: 2.5 / 0.016387064  | 152.5593602368307099";
  // An item of 11 ("2500", conversion 1 into 12) against one of 13 ("2.5",
  // conversion 7 into 12): each names the other's target, so 12 is left.
  auto rivals = [](int32_t priority_11, int64_t created_11, int32_t priority_13,
                   int64_t created_13) {
    return std::vector<DecodingItem>{source_item(11, "2500", priority_11, created_11),
                                     source_item(13, "2.5", priority_13, created_13)};
  };
  struct Case {
    const char* name;
    std::vector<DecodingItem> items;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"equal, no times: lower conversion id", rivals(5, NONE_I64, 5, NONE_I64), {by_1}},
      {"higher priority wins", rivals(5, NONE_I64, 6, NONE_I64), {by_7}},
      {"newer wins", rivals(5, 100, 5, 200), {by_7}},
      {"older loses", rivals(5, 300, 5, 200), {by_1}},
      {"no time beats a time", rivals(5, 300, 5, NONE_I64), {by_7}},
      {"priority before time", rivals(6, 1, 5, NONE_I64), {by_1}},
      {"undated item of one element wins over a dated one",
       {source_item(13, "2.5", 5, 999), source_item(13, "3.0", 5)},
       {"11 | Conversion 4: 3.0 * 1000 | 3000.0",
        "12 | Conversion 7: 3.0 / 0.016387064  | 183.0712322841968519"}},
      {"a failed evaluation still claims the target",
       {source_item(13, "abc", 10), source_item(13, "2.5", 5)},
       {"11 | Conversion 4: abc * 1000 | 0", "12 | Conversion 7: abc / 0.016387064  | 0"}},
  };
  for (const Case& c : cases) EXPECT_EQ(appended(c.items), c.expected) << c.name;
  // An existing target is never overwritten, whatever its value.
  for (const char* value : {"Not Applicable", "", "XXX"}) {
    EXPECT_EQ(appended({source_item(11, "2500"), source_item(12, "", 0, NONE_I64, value)}),
              std::vector<std::string>{"13 | Conversion 3: 2500 / 1000. | 2.5000000000000000"})
        << value;
  }
}

TEST(AppendConversions, SourceTextIsCutToFiftyCharacters) {
  EXPECT_EQ(appended({source_item(11, "1234567890123456789012345678901234567890")})[0],
            "12 | Conversion 1: 123456789012345678901234567890123456 | "
            "75337954994467391413882662501423962699.480517");
  EXPECT_EQ(appended({source_item(13, repeat("\u00fc", 60))})[0],
            "11 | Conversion 4: " + repeat("\u00fc", 36) + " | 0");
}

// (element, source, value) of each item the stage appended on this artifact.
std::vector<std::string> appended_on(const Db& db, std::vector<DecodingItem> items) {
  size_t before = items.size();
  append_conversions(items, db);
  std::vector<std::string> out;
  for (size_t i = before; i < items.size(); ++i) {
    out.push_back(std::to_string(items[i].element_id) + " | " + items[i].source + " | " +
                  items[i].value);
  }
  return out;
}

ArtifactDb one_conversion(int32_t id, std::string formula) {
  artifact::Contents c;
  c.wmis = {{.id = 1, .code = "1HG"}};
  c.conversions = {{id, 11, 12, std::move(formula)}};
  return ArtifactDb(std::move(c));
}

TEST(AppendConversions, RepeatedConversionsGiveTheTextsOfTheirOwnFormulaIdAndAttribute) {
  ArtifactDb times_1 = one_conversion(1, "#x# * 1");
  ArtifactDb times_10 = one_conversion(1, "#x# * 10");
  ArtifactDb times_10_as_2 = one_conversion(2, "#x# * 10");
  struct Case {
    const ArtifactDb* db;
    std::string attribute;
    std::string expected;
  };
  // Formula and attribute texts that run together the same way, the same
  // id with another formula, and the same formula under another id.
  const Case cases[] = {
      {&times_1, "05", "12 | Conversion 1: 05 * 1 | 5"},
      {&times_10, "5", "12 | Conversion 1: 5 * 10 | 50"},
      {&times_10_as_2, "5", "12 | Conversion 2: 5 * 10 | 50"},
      {&times_1, "5", "12 | Conversion 1: 5 * 1 | 5"},
      {&times_10, "05", "12 | Conversion 1: 05 * 10 | 50"},
      {&times_1, "05", "12 | Conversion 1: 05 * 1 | 5"},
      {&times_10, "5", "12 | Conversion 1: 5 * 10 | 50"},
  };
  for (int round = 0; round < 2; ++round) {
    for (const Case& c : cases) {
      EXPECT_EQ(appended_on(c.db->db(), {source_item(11, c.attribute)}),
                std::vector<std::string>{c.expected})
          << c.attribute << " round " << round;
    }
  }
  // Far more distinct attributes than a thread keeps, then the first again.
  for (int i = 0; i < 5000; ++i) {
    std::string attribute = std::to_string(i);
    ASSERT_EQ(appended_on(times_10.db(), {source_item(11, attribute)}),
              std::vector<std::string>{"12 | Conversion 1: " + attribute + " * 10 | " +
                                       (i == 0 ? "0" : attribute + "0")});
  }
  EXPECT_EQ(appended_on(times_1.db(), {source_item(11, "05")}),
            std::vector<std::string>{"12 | Conversion 1: 05 * 1 | 5"});
}

}  // namespace
}  // namespace tamberok
