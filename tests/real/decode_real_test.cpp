// Decoding against the embedded vPIC data of February 2026 (the downloaded
// copy). Each fact pinned here holds for that data month.
#include <random>

#include "support.h"
#include "tamberok/decode.h"
#include "tamberok/errors.h"
#include "tamberok/tamberok.h"
#include "tamberok/text.h"

namespace tamberok {
namespace {

constexpr int64_t DEC_2026 = 1796083200LL * 1000000;  // 2026-12-01T00:00:00Z

DecodeResult decode_at_dec_2026(const Db& db, std::string_view vin) {
  return decode_full(db, vin, DEC_2026, 2026);
}

std::string value_of(const DecodeResult& r, std::string_view variable) {
  for (const DecodedElement& e : r.elements) {
    if (e.variable == variable) return e.value;
  }
  return "<absent>";
}

TEST(RealDataFeb2026, AccordItemsIncludeModelAndTheMakeItImplies) {
  TAMBEROK_REQUIRE_REAL_DB(db);
  DecodeCoreOutput out = decode_core(db, "1HG", "CM826|3A004352", true, 2003, "***X*|Y", DEC_2026);
  ASSERT_TRUE(out.wmi_found);
  const DecodingItem* model = nullptr;
  const DecodingItem* make = nullptr;
  for (const DecodingItem& item : out.items) {
    if (item.element_id == 28 && item.source == "Pattern") model = &item;
    if (item.element_id == 26 && item.source == "pattern - model") make = &item;
  }
  ASSERT_NE(model, nullptr);
  ASSERT_NE(make, nullptr);
  EXPECT_EQ(make->attribute_id, "474");
  EXPECT_EQ(make->value, "HONDA");
  EXPECT_EQ(make->pattern_id, model->pattern_id);
}

TEST(RealDataFeb2026, AccordOf2003DecodesCleanWithCorrectionElementsFirst) {
  TAMBEROK_REQUIRE_REAL_DB(db);
  DecodeResult r = decode_at_dec_2026(db, "1HGCM82633A004352");
  EXPECT_EQ(std::tie(r.wmi, r.descriptor, r.corrected_vin),
            std::make_tuple("1HG", "1HGCM826*3A", ""));
  EXPECT_TRUE(r.check_digit_valid);
  EXPECT_EQ(value_of(r, "Vehicle Type"), "PASSENGER CAR");
  EXPECT_EQ(value_of(r, "Model Year"), "2003");
  EXPECT_EQ(value_of(r, "Error Text"),
            "0 - VIN decoded clean. Check Digit (9th position) is correct");
  // Correction elements first, then the groups in display order.
  EXPECT_EQ(r.elements.front().variable, "Suggested VIN");
  EXPECT_EQ(r.elements[5].variable, "Vehicle Descriptor");
  EXPECT_EQ(r.elements[6].group_name, "General");
}

TEST(RealDataFeb2026, WellKnownVinsDecodeToTheirMakeModelYearAndCodes) {
  TAMBEROK_REQUIRE_REAL_DB(db);
  const std::tuple<const char*, const char*, const char*, std::optional<int32_t>,
                   std::vector<int32_t>>
      cases[] = {
          {"1HGCM82633A004352", "HONDA", "Accord", 2003, {0}},
          {"1HGCM82643A004352", "HONDA", "Accord", 2003, {1}},          // a wrong check digit
          {"ZZZCM82633A004352", "<absent>", "<absent>", 2003, {1, 7}},  // an unknown WMI
          {"JH4KA7561PC008269", "ACURA", "Legend", 1993, {0}},
          {"3VWFE21C04M000001", "VOLKSWAGEN", "Beetle", 2004, {0}},
          {"1N4AL3AP8JC231503", "NISSAN", "Altima", 2018, {0}},
          {"2T1BURHE0JC014702", "TOYOTA", "Corolla", 2018, {0, 14}},
          {"5YJ3E1EA7KF317000", "TESLA", "Model 3", 2019, {1}},
      };
  for (const auto& [vin, make, model, year, codes] : cases) {
    DecodeResult r = decode_at_dec_2026(db, vin);
    EXPECT_EQ(value_of(r, "Make"), make) << vin;
    EXPECT_EQ(value_of(r, "Model"), model) << vin;
    EXPECT_EQ(r.model_year, year) << vin;
    EXPECT_EQ(r.error_codes, codes) << vin;
  }
  DecodeResult wrong_digit = decode_at_dec_2026(db, "1HGCM82643A004352");
  EXPECT_FALSE(wrong_digit.check_digit_valid);
  EXPECT_EQ(value_of(wrong_digit, "Error Text"),
            "1 - Check Digit (9th position) does not calculate properly");
}

// Pass choice, year settling and the correction texts on VINs whose
// decodes sit on a rule's edge.
TEST(RealDataFeb2026, EdgeVinsPinYearPassChoiceAndCorrectionTexts) {
  TAMBEROK_REQUIRE_REAL_DB(db);
  const struct {
    const char* name;
    const char* vin;
    std::optional<int32_t> year;
    std::vector<int32_t> codes;
    const char* corrected;
    const char* note;
  } cases[] = {
      // Two passes tie on penalty, weight and pattern count: the later year wins.
      {"1HD passes tie but for the year",
       "1HD00000XA0000000",
       2010,
       {1, 8},
       "",
       "The Model Year decoded for this VIN may be incorrect. If you know the Model year, please "
       "enter it and decode again to get more accurate information."},
      // Position 7 a digit: W reads 1998, which is cur - 28, so it settles up to 2028.
      {"1998 settles up to 2028",
       "5YJ3E17A0WF317000",
       2028,
       {1, 2, 14},
       "5YJ3E1EA0WF317000",
       "Unused position(s): 7."},
      // An off-road body class: position 9 is not marked although "A" is no check digit.
      {"off-road skips position 9",
       "1HDAIAAAAUAO1111A",
       std::nullopt,
       {1, 10, 11, 14, 400},
       "1HDA!AAAA!A!1111!",
       "Unused position(s): 4,5,6,8. Invalid character(s): 5:I, 10:U, 12:O, 17:A."},
  };
  for (const auto& k : cases) {
    DecodeResult r = decode_at_dec_2026(db, k.vin);
    EXPECT_EQ(r.model_year, k.year) << k.name;
    EXPECT_EQ(r.error_codes, k.codes) << k.name;
    EXPECT_EQ(r.corrected_vin, k.corrected) << k.name;
    EXPECT_EQ(value_of(r, "Additional Error Text"), k.note) << k.name;
  }
  // Code 2's stored name ends with a blank; each name is trimmed before joining.
  EXPECT_EQ(value_of(decode_at_dec_2026(db, "5YJ3E17A0WF317000"), "Error Text"),
            "1 - Check Digit (9th position) does not calculate properly; 2 - VIN corrected, error "
            "in one position; 14 - Unable to provide information for some of the characters in "
            "the VIN, based on the manufacturer submission.");
  // Code 10's regulatory text pushes the error text past 500 characters, one
  // of them the three-byte en dash: it keeps exactly 500 characters.
  std::string errors = value_of(decode_at_dec_2026(db, "1HDAIAAAAUAO1111A"), "Error Text");
  EXPECT_EQ(count_chars(errors), 500u);
  EXPECT_EQ(errors.size(), 502u);
  EXPECT_TRUE(errors.ends_with("; 11 - Incorrect Model Year - Position 10")) << errors;
}

// A trailer WMI (not car-like) whose one wrong position has five candidates:
// candidates are checked as car-like, so the letter at position 13 fails
// every one of them and no single suggestion comes out.
TEST(RealDataFeb2026, TrailerCandidatesAreCheckedAsCarLike) {
  TAMBEROK_REQUIRE_REAL_DB(db);
  ErrorOutcome out = errorcode(db, "1DWAAAAAXSP1C1111", "1DW", 1, 1992, {});
  EXPECT_EQ(out.error_codes, (std::vector<int32_t>{4, 14}));
  EXPECT_EQ(out.possible_values, "(4:01234)");
  EXPECT_EQ(out.suggested_vin, "1DW!AAAAXSP1C1111");
}

// Random and mutated texts: control characters, non-ASCII, any length up to
// 40. Nothing may fail, and every result must keep its own invariants.
TEST(RealDataFeb2026, AnyTextDecodesWithoutFailing) {
  TAMBEROK_REQUIRE_REAL_DB(db);
  std::mt19937_64 rng(20261207);
  const std::vector<std::string> seeds = {"1HGCM82633A004352", "5YJ3E1EA7KF317000",
                                          "JH4KA7561PC008269", "2T1BURHE0JC014702",
                                          "1G9ABC12345678901", "WAUZZZ8V8KA012345"};
  const std::string alphabet =
      "ABCDEFGHJKLMNPRSTUVWXYZ0123456789IOQ*_#|[]-^.\\()?+$ \t\r\n\x01\x7f";
  const std::vector<std::string> multibyte = {"\xc3\xa9",         "\xc2\xa0", "\xe2\x80\x8b",
                                              "\xf0\x9f\x9a\x97", "\xff",     "\xc3"};
  int runs = 0;
  for (int i = 0; i < 6000; ++i) {
    std::string text;
    if (i % 2 == 0) {
      size_t length = rng() % 41;
      for (size_t k = 0; k < length; ++k) {
        if (rng() % 10 == 0) {
          text += multibyte[rng() % multibyte.size()];
        } else {
          text += alphabet[rng() % alphabet.size()];
        }
      }
    } else {
      text = seeds[rng() % seeds.size()];
      int edits = 1 + static_cast<int>(rng() % 3);
      for (int e = 0; e < edits && !text.empty(); ++e) {
        size_t at = rng() % text.size();
        switch (rng() % 3) {
          case 0:
            text[at] = alphabet[rng() % alphabet.size()];
            break;
          case 1:
            text.erase(at, 1);
            break;
          default:
            text.insert(at, multibyte[rng() % multibyte.size()]);
            break;
        }
      }
    }
    DecodeResult r = decode_at_dec_2026(db, text);
    ++runs;
    ASSERT_TRUE(std::is_sorted(r.error_codes.begin(), r.error_codes.end())) << text;
    ASSERT_EQ(std::adjacent_find(r.error_codes.begin(), r.error_codes.end()), r.error_codes.end());
    ASSERT_FALSE(r.error_codes.empty()) << text;
    for (char c : r.vin) ASSERT_LT(static_cast<unsigned char>(c), 0x80) << text;
    ASSERT_EQ(r.vin, normalize_vin(text));
    ASSERT_TRUE(r.descriptor.size() == 11 || r.descriptor.size() == 14);
    ASSERT_GE(r.elements.size(), 6u) << text;  // the six correction elements
    if (r.vin.size() == 17 && r.check_digit_valid) {
      ASSERT_EQ(std::count(r.error_codes.begin(), r.error_codes.end(), 1), 0) << text;
    }
  }
  EXPECT_EQ(runs, 6000);
}

}  // namespace
}  // namespace tamberok
