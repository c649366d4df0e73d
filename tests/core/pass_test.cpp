// One VIN end to end on the small catalogue: error codes, corrected VIN,
// check-digit verdict, correction elements and the choice between passes.
#include "tamberok/pass.h"

#include <functional>

#include "decoder_fixture.h"
#include "support.h"
#include "tamberok/assemble.h"
#include "tamberok/tamberok.h"

namespace tamberok {
namespace {

using testing::add_pattern;
using testing::ArtifactDb;
using testing::decoder_contents;
using testing::T2026;

constexpr std::string_view MODEL_YEAR_NOTE =
    "The Model Year decoded for this VIN may be incorrect. If you know the Model year, please "
    "enter it and decode again to get more accurate information.";
constexpr std::string_view POSSIBLE_4 =
    "In the Possible values section, the Numeric value before the : indicates the position in "
    "error and the values after the : indicate the possible values that are allowed in this "
    "position.";

DecodeResult run(const Db& db, std::string_view vin) {
  return decode_full(db, vin, T2026, 2026);
}

// The value of the first element with this id, or "<absent>".
std::string value_of(const DecodeResult& r, int32_t element_id) {
  for (const DecodedElement& e : r.elements) {
    if (e.element_id == element_id) return e.value;
  }
  return "<absent>";
}

// The catalogue with a key that also names VIN position 11, so that a clean
// Accord VIN leaves no position unused.
artifact::Contents covered_contents() {
  artifact::Contents c = decoder_contents();
  add_pattern(c, 100, "*****|*A", 34, "EX");
  return c;
}

TEST(PassEvaluation, EmptyVinIsIncompleteUnknownAndWithoutYear) {
  ArtifactDb a(decoder_contents());
  DecodeResult r = run(a.db(), "");
  EXPECT_EQ(std::tie(r.vin, r.wmi, r.descriptor, r.corrected_vin),
            std::make_tuple("", "", "***********", ""));
  EXPECT_EQ(r.model_year, std::nullopt);
  EXPECT_EQ(r.error_codes, (std::vector<int32_t>{6, 7, 11}));
  EXPECT_FALSE(r.check_digit_valid);
  // The correction elements alone, with empty texts where nothing applies.
  std::vector<std::pair<int32_t, std::string>> values;
  for (const DecodedElement& e : r.elements) values.push_back({e.element_id, e.value});
  EXPECT_EQ(values, (std::vector<std::pair<int32_t, std::string>>{
                        {142, ""},
                        {143, "6,7,11"},
                        {144, ""},
                        {156, ""},
                        {191,
                         "6 - Incomplete VIN; 7 - Manufacturer is not registered with NHTSA for "
                         "sale or importation in the U.S. for use on U.S roads; Please contact the "
                         "manufacturer directly for more information; 11 - Incorrect Model Year - "
                         "Position 10 does not match valid model year codes (I, O, Q, U, Z, 0). "
                         "Decoded data may not be accurate."},
                        {196, "***********"}}));
  const DecodedElement& suggested = r.elements[0];
  EXPECT_EQ(std::tie(suggested.source, suggested.group_name), std::make_tuple("Corrections", ""));
  EXPECT_EQ(suggested.pattern_id, std::nullopt);
  EXPECT_EQ(suggested.created_on, std::nullopt);
}

TEST(PassEvaluation, CleanVinWithAModelGivesZeroOnly) {
  ArtifactDb a(covered_contents());
  DecodeResult r = run(a.db(), "1HGCM82633A004352");
  EXPECT_EQ(r.model_year, 2003);
  EXPECT_EQ(r.error_codes, (std::vector<int32_t>{0}));
  EXPECT_TRUE(r.check_digit_valid);
  EXPECT_EQ(r.corrected_vin, "");
  const std::pair<int32_t, std::string> values[] = {
      {143, "0"},          {156, ""},
      {26, "HONDA"},       {28, "Accord"},
      {5, "Sedan/Saloon"}, {39, "PASSENGER CAR"},
      {29, "2003"},        {191, "0 - VIN decoded clean. Check Digit (9th position) is correct"}};
  for (const auto& [id, value] : values) EXPECT_EQ(value_of(r, id), value) << id;
}

// Schema 102 allows only A-C at position 4; a second key matches the rest of
// the descriptor, so position 4 alone is left unused.
void class_keys(artifact::Contents& c) {
  add_pattern(c, 102, "[A-C]2345|*6", 5, "5");
  add_pattern(c, 102, "*2345|*6", 34, "S");
}

TEST(PassEvaluation, CodesCorrectionsAndNotesOfOneVin) {
  const std::string note(MODEL_YEAR_NOTE), possible(POSSIBLE_4),
      unused_4 = "Unused position(s): 4.";
  const std::string check_1 = "1 - Check Digit (9th position) does not calculate properly";
  const std::string unknown_7 =
      "7 - Manufacturer is not registered with NHTSA for sale or importation in the U.S. for use "
      "on U.S roads; Please contact the manufacturer directly for more information";
  const std::string missing_14 =
      "14 - Unable to provide information for some of the characters in the VIN, based on the "
      "manufacturer submission.";
  // Decodes `vin` on the catalogue as `change` leaves it; Suggested VIN is the corrected VIN.
  auto check = [](const char* name, const std::function<void(artifact::Contents&)>& change,
                  std::string_view vin, std::optional<int32_t> year, bool check_digit_valid,
                  std::vector<int32_t> codes, std::string corrected, std::string possible,
                  std::string additional, std::optional<std::string> error_text = std::nullopt) {
    artifact::Contents c = decoder_contents();
    change(c);
    ArtifactDb a(c);
    DecodeResult r = run(a.db(), vin);
    EXPECT_EQ(r.model_year, year) << name;
    EXPECT_EQ(r.check_digit_valid, check_digit_valid) << name;
    EXPECT_EQ(r.error_codes, codes) << name;
    EXPECT_EQ(r.corrected_vin, corrected) << name;
    EXPECT_EQ(value_of(r, 142), corrected) << name;
    EXPECT_EQ(value_of(r, 144), possible) << name;
    EXPECT_EQ(value_of(r, 156), additional) << name;
    if (error_text) {
      EXPECT_EQ(value_of(r, 191), *error_text) << name;
    }
  };
  const auto as_is = [](artifact::Contents&) {};
  const auto exceptions = [](artifact::Contents& c) {
    add_pattern(c, 100, "*****|*A", 34, "EX");
    c.vin_exceptions = {{.vin = "1HGCM826A3A004352"}, {.vin = "1HGCM82653A004352"}};
  };
  check("an unused position gives 14", as_is, "1HGCM82633A004352", 2003, true, {0, 14}, "", "",
        "Unused position(s): 11.");
  // Motorcycles are not car-like, so two cycles are tried; 1985 has no schema.
  check(
      "a clean VIN without a model gets 14 and the year note",
      [](auto& c) { add_pattern(c, 104, "ABCDE|*1", 38, "Trim"); }, "MCYABCDE6F1111111", 2015, true,
      {0, 14}, "", "", note);
  // Two equal passes: the decoded year wins.
  check("rejected characters are listed and marked", as_is, "ZZZAIAAA0AAO11111", 2010, false,
        {1, 7, 400}, "ZZZA!AAA0AA!11111", "", "Invalid character(s): 5:I, 12:O. " + note,
        check_1 + "; " + unknown_7 + "; 400 - Invalid Characters Present");
  // With "D" at position 4 only "B" gives the check digit "1".
  check("a single candidate with the right check digit gives 3", class_keys, "TSTD23451L6111111",
        2020, false, {1, 3, 14}, "TSTB23451L6111111", "(4:B)", unused_4 + " " + note,
        check_1 + "; 3 - VIN corrected, error in one position (assuming Check Digit is correct); " +
            missing_14);
  check("no candidate fits: 4 and the marked VIN", class_keys, "TSTD23452L6111111", 2020, false,
        {1, 4, 14}, "TST!23452L6111111", "(4:ABC)", possible + " " + unused_4 + " " + note);
  check("the possible-values note, then invalid characters", class_keys, "TSTD23452L6I11111", 2020,
        false, {1, 4, 14, 400}, "TST!23452L6!11111", "(4:ABC)",
        possible + " " + unused_4 + " Invalid character(s): 12:I. " + note);
  check("an exception-listed VIN with a wrong check digit is clean", exceptions,
        "1HGCM82653A004352", 2003, false, {0}, "", "", "",
        "0 - VIN decoded clean. Check Digit (9th position) is correct NOTE: Check Digit Exception "
        "- The check digit was given an exception based on data from the OEM indicating an error "
        "on production.");
  check("an exception-listed VIN has no 400 for position 9", exceptions, "1HGCM826A3A004352", 2003,
        false, {0}, "", "", "");
  check("not listed: the wrong digit costs 1", exceptions, "1HGCM82643A004352", 2003, false, {1},
        "", "", "", check_1);
  // An off-road body class, newer than the sedan pattern.
  check(
      "off-road body class",
      [](auto& c) {
        add_pattern(c, 100, "*****|*A", 34, "EX");
        add_pattern(c, 100, "CM82", 5, "97", NONE_I64);
      },
      "1HGCM82643A004352", 2003, false, {1, 10}, "", "", "",
      check_1 +
          " NOTE: Disregard if this is an off-road vehicle PIN, as check digit calculation "
          "may not be accurate.; 10 - Off-road Vehicle Warning");
  // Off-road: position 9 is not checked for its characters either.
  check(
      "off-road body class, a letter at position 9",
      [](auto& c) {
        add_pattern(c, 100, "*****|*A", 34, "EX");
        add_pattern(c, 100, "CM82", 5, "97", NONE_I64);
      },
      "1HGCM826A3A004352", 2003, false, {1, 10}, "", "", "");
  // A glider: an incomplete vehicle, and code 9.
  check(
      "incomplete vehicle",
      [](auto& c) {
        add_pattern(c, 100, "*****|*A", 34, "EX");
        add_pattern(c, 100, "CM82", 5, "64", NONE_I64);
        c.wmis[0].vehicle_type_id = 10;
        c.lookups.push_back({.table = 14, .id = 10, .name = "Incomplete Vehicle"});
      },
      "1HGCM82633A004352", 2003, true, {0, 9}, "", "",
      "Incomplete Vehicle Warning - Please be advised that the vehicle may have been altered and "
      "may not be an accurate representation of the vehicle in its current condition.");
}

// The note and the error text keep at most 500 characters, counted as
// characters, not bytes; every code's name is trimmed before it is joined.
TEST(PassEvaluation, NoteAndErrorTextKeepFiveHundredCharactersOfTrimmedNames) {
  const std::string e_acute = "\xc3\xa9";
  auto repeat = [](const std::string& text, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) out += text;
    return out;
  };
  const std::string name_14 =
      "14 - Unable to provide information for some of the characters in the VIN, based on the "
      "manufacturer submission.";
  // Code 0's name padded with "é" so that "0 - é...é; " + code 14's name has `total` characters.
  auto error_text_of = [&](size_t total, std::string padding = "") {
    artifact::Contents c = decoder_contents();
    std::string name_0 = "0 - " + repeat(e_acute, total - 4 - 2 - name_14.size());
    for (artifact::Lookup& l : c.lookups) {
      if (l.table == 44 && l.id == 0) l.name = padding + name_0 + padding;
    }
    ArtifactDb a(c);
    return std::make_pair(name_0, value_of(run(a.db(), "1HGCM82633A004352"), 191));
  };
  auto [name_500, text_500] = error_text_of(500);
  EXPECT_EQ(text_500, name_500 + "; " + name_14);
  auto [name_501, text_501] = error_text_of(501);
  EXPECT_EQ(text_501, name_501 + "; " + name_14.substr(0, name_14.size() - 1));
  auto [name_trimmed, text_trimmed] = error_text_of(300, " \t\xe2\x80\x83");
  EXPECT_EQ(text_trimmed, name_trimmed + "; " + name_14);

  // Invalid characters at position 5 and from position 18 on (serial
  // positions hold digits): "Invalid character(s): 5:I, 18:A, ..., last:A."
  ArtifactDb a(decoder_contents());
  auto note_of = [&](bool at_5, int last) {
    std::string vin = at_5 ? "ZZZAIAAA0X1111111" : "ZZZAAAAA0X1111111";
    std::string list = at_5 ? "5:I" : "";
    for (int p = 18; p <= last; ++p) {
      vin += 'A';
      list += (list.empty() ? "" : ", ") + std::to_string(p) + ":A";
    }
    std::string full = "Invalid character(s): " + list + ".";
    DecodeResult r = run(a.db(), vin);
    EXPECT_EQ(r.model_year, 1999) << vin;  // settled: no model-year sentence follows
    return std::make_pair(full, value_of(r, 156));
  };
  auto [full_500, note_500] = note_of(true, 96);
  EXPECT_EQ(full_500.size(), 500u);
  EXPECT_EQ(note_500, full_500);
  auto [full_501, note_501] = note_of(false, 97);
  EXPECT_EQ(full_501.size(), 501u);
  EXPECT_EQ(note_501, full_501.substr(0, 500));
}

TEST(PassEvaluation, PositionRulesFollowTheVinLayout) {
  ArtifactDb a(decoder_contents());
  const struct {
    const char* vin;
    const char* corrected;
    std::vector<int32_t> codes;
  } cases[] = {
      // Position 10 refuses U, Z, 0 and "*"; the year is then missing too.
      {"ZZZAAAAA4U1111111", "ZZZAAAAA4!1111111", {1, 7, 11, 400}},
      {"ZZZAAAAA4*1111111", "ZZZAAAAA4!1111111", {1, 7, 11, 400}},
      // Letters from position 14 on (13 for a car-like WMI).
      {"ZZZAAAAA4AAAAB111", "ZZZAAAAA4AAAA!111", {1, 7, 400}},
      {"1HGCM82633A00B352", "1HGCM82633A00!352", {1, 14, 400}},
      {"1HGCM82633A0B4352", "1HGCM82633A0!4352", {1, 14, 400}},
      // A third character "9" lets positions 13 and 14 hold letters.
      {"ZZ9AAAAA9AAAAB111", "", {7}},
      // Position 18 must be a digit; an 18-character VIN has no verdict.
      {"ZZZAAAAA4AA111111A", "ZZZAAAAA4AA111111!", {7, 400}},
      {"ZZZAAAAA4AA1111111", "", {7}},
  };
  for (const auto& k : cases) {
    DecodeResult r = run(a.db(), k.vin);
    EXPECT_EQ(r.corrected_vin, k.corrected) << k.vin;
    EXPECT_EQ(r.error_codes, k.codes) << k.vin;
  }
}

TEST(PassEvaluation, CorrectedVinMarksCharactersNotBytes) {
  ArtifactDb a(decoder_contents());
  // Positions are checked byte by byte, but the marks go by character: the
  // two bytes of a non-ASCII character are one character of the result.
  const struct {
    std::string vin;
    std::string corrected;
  } cases[] = {
      {"ZZZAAAAA4\u00e91111111", "ZZZAAAAA4!!111111"},
      {"ZZZAAAAA4\u00e9", "ZZZAAAAA4!!"},
      {"ZZZAAAAA4A111111\u00e9", "ZZZAAAAA4A111111!!"},
      {"ZZZAAAAA4U1111111", "ZZZAAAAA4!1111111"},
  };
  for (const auto& k : cases) {
    Pass pass = run_pass(a.db(), k.vin, "ZZZ", "", T2026, "ZZZAAAAA*", 3, false, 0, "", true);
    EXPECT_EQ(pass.corrected_vin, k.corrected) << k.vin;
  }
}

TEST(PassChoice, PenaltiesWeightsPatternsAndYearRankPasses) {
  ArtifactDb a(decoder_contents());
  auto pass = [](int32_t id, std::vector<int32_t> codes, std::optional<int32_t> year = {}) {
    return Pass{.error_codes = std::move(codes), .model_year = year, .pass_id = id};
  };
  auto item = [](int32_t element, std::string value, std::string source = "Pattern") {
    return DecodingItem{
        .value = std::move(value), .source = std::move(source), .element_id = element};
  };
  EXPECT_EQ(score_pass(a.db(), pass(3, {7})).penalty, -10000);
  EXPECT_EQ(score_pass(a.db(), pass(3, {0, 9, 10})).penalty, 0);
  EXPECT_EQ(score_pass(a.db(), pass(3, {1, 2, 3, 4, 5, 6, 8, 11, 12, 14, 400})).penalty,
            -5 - 100 - 100 - 200 - 300 - 10 - 1000 - 20 - 20 - 30 - 40);

  Pass scored = pass(3, {});
  scored.items = {item(26, "XXX"),
                  item(26, "HONDA"),
                  item(5, ""),
                  item(9, "Not Applicable"),
                  item(38, "not applicable"),
                  item(28, "X", "pattern"),
                  item(-1, "x"),
                  item(157, "988"),
                  item(29, " 2015"),
                  item(29, "2016")};
  PassScore s = score_pass(a.db(), scored);
  EXPECT_EQ(s.weight_sum, 100 + 5 + 3 + 50);  // each element once, empty values and rowless ids not
  EXPECT_EQ(s.pattern_count, 7);    // "Not Applicable" exactly, and "pattern", do not count
  EXPECT_EQ(s.year, std::nullopt);  // only the first year item is read
  scored.items[8].value = "+2015";
  EXPECT_EQ(score_pass(a.db(), scored).year, 2015);

  // Equal scores: pass 3 wins; a code 7 loses whatever else.
  EXPECT_EQ(
      assemble_result(a.db(), {pass(3, {0}, 2010), pass(4, {0}, 1980)}, "v", "w", "d").model_year,
      2010);
  EXPECT_EQ(
      assemble_result(a.db(), {pass(3, {7}, 2010), pass(4, {8}, 1980)}, "v", "w", "d").model_year,
      1980);
  // Equal penalty, weight and pattern count: the later year of the items wins,
  // whichever pass carries it.
  Pass early = pass(3, {0}, 1980), late = pass(4, {0}, 2010);
  early.items = {item(29, "1980", "ModelYear")};
  late.items = {item(29, "2010", "ModelYear")};
  EXPECT_EQ(assemble_result(a.db(), {early, late}, "v", "w", "d").model_year, 2010);
  EXPECT_EQ(assemble_result(a.db(), {late, early}, "v", "w", "d").model_year, 2010);
  early.items[0].value = "x1980";  // a year that does not read counts below any year
  late.items[0].value = "1";
  EXPECT_EQ(assemble_result(a.db(), {early, late}, "v", "w", "d").model_year, 2010);
  EXPECT_THROW(assemble_result(a.db(), {}, "v", "w", "d"), Panic);
}

TEST(ResultAssembly, ValuesResolveAndElementsComeInDisplayOrder) {
  ArtifactDb a(decoder_contents());
  Pass p;
  p.pass_id = 3;
  auto add = [&](int32_t element, std::string attribute, std::string value) {
    p.items.push_back(
        {.attribute_id = attribute, .value = value, .source = "Pattern", .element_id = element});
  };
  add(196, "d", "d");
  add(26, "474", "XXX");     // resolves through table "make"
  add(26, "999", "XXX");     // no such row: empty
  add(26, "Honda", "XXX");   // not an integer: empty
  add(38, "Sport", "XXX");   // no lookup table: the attribute itself
  add(34, "", "a\r\nb\tc");  // line breaks and tabs become blanks
  add(186, "n", "note");     // excluded element: dropped
  add(157, "988", "988");    // no element row: dropped
  add(-3, "x", "x");         // negative id: dropped
  add(142, "s", "s");
  add(5, "13", "XXX");
  p.items.back().to_be_qced = true;  // never shown
  DecodeResult r = assemble_result(a.db(), {p}, "v", "w", "d");
  std::vector<std::pair<int32_t, std::string>> got;
  for (const DecodedElement& e : r.elements) got.push_back({e.element_id, e.value});
  std::vector<std::pair<int32_t, std::string>> expected = {
      {142, "s"}, {196, "d"}, {26, "Honda"}, {26, ""}, {26, ""}, {34, "a  b c"}, {38, "Sport"}};
  EXPECT_EQ(got, expected);
  const DecodedElement& make = r.elements[2];
  EXPECT_EQ(std::tie(make.variable, make.code, make.data_type, make.decode, make.group_name,
                     make.attribute_id),
            std::make_tuple("Make", "Make", "lookup", "WMI, Pattern", "General", "474"));
}

TEST(DecodeEntry, NormalisesTheVinAndDerivesItsParts) {
  EXPECT_EQ(normalize_vin("  1ab2c3d4e5f6g7h8j\n"), "1AB2C3D4E5F6G7H8J");
  EXPECT_EQ(wmi_of("1AB2C3D4E5F6G7H8J"), "1AB");
  EXPECT_EQ(descriptor_of("1AB2C3D4E5F6G7H8J"), "1AB2C3D4*5F");
  EXPECT_EQ(vin_key_of("1AB2C3D4E5F6G7H8J"), "2C3D4|5F6G7H8J");

  EXPECT_EQ(normalize_vin("1h\xc3\xa9g"), "1H&G");
  EXPECT_EQ(normalize_vin("1hg\xc2\xa0"), "1HG&");  // a no-break space is not trimmed
  EXPECT_EQ(normalize_vin("\t1hg\r"), "1HG");
  EXPECT_EQ(normalize_vin("\xf0\x9f\x9a\x97x"), "&X");  // one "&" per character
  EXPECT_EQ(normalize_vin("a b"), "A B");

  const struct {
    const char* vin;
    const char* wmi;
    const char* descriptor;
    const char* key;
  } cases[] = {
      {"", "", "***********", ""},
      {"1H", "1H", "1H*********", ""},
      {"1HGC", "1HG", "1HGC*******", "C"},
      {"1HGCM8263", "1HG", "1HGCM826***", "CM826"},
      {"1HGCM82633", "1HG", "1HGCM826*3*", "CM826|3"},
      {"1HGCM82633A004352XYZ", "1HG", "1HGCM826*3A", "CM826|3A004352"},
      {"1G9", "1G9", "1G9***********", ""},
      {"1G9CM82633A00", "1G9", "1G9CM826*3A00*", "CM826|3A00"},
      {"1G9CM82633A004", "1G9004", "1G9CM826*3A004", "CM826|3A004"},
  };
  for (const auto& k : cases) {
    EXPECT_EQ(wmi_of(k.vin), k.wmi) << k.vin;
    EXPECT_EQ(descriptor_of(k.vin), k.descriptor) << k.vin;
    EXPECT_EQ(vin_key_of(k.vin), k.key) << k.vin;
  }
}

TEST(DecodeEntry, ShortAndLongVinsDecodeWithoutFailing) {
  ArtifactDb a(decoder_contents());
  DecodeResult nine = run(a.db(), "1HGCM8263");
  EXPECT_EQ(nine.model_year, std::nullopt);
  EXPECT_EQ(nine.error_codes, (std::vector<int32_t>{6, 11}));
  DecodeResult ten = run(a.db(), "1HGCM82633");
  EXPECT_EQ(ten.model_year, 2003);
  DecodeResult twenty = run(a.db(), "1HGCM82633A004352123");
  EXPECT_EQ(twenty.vin, "1HGCM82633A004352123");
  EXPECT_EQ(twenty.descriptor, "1HGCM826*3A");
  EXPECT_FALSE(twenty.check_digit_valid);
}

TEST(DecodeEntry, CivilYearIsTakenInUtc) {
  EXPECT_EQ(civil_year(0), 1970);
  EXPECT_EQ(civil_year(T2026), 2026);
  int64_t new_year_2027 = 1798761600LL * 1000000;  // 2027-01-01T00:00:00Z
  EXPECT_EQ(civil_year(new_year_2027 - 1000000), 2026);
  EXPECT_EQ(civil_year(new_year_2027 + 30 * 60 * 1000000LL), 2027);
  EXPECT_EQ(civil_year(951782400LL * 1000000), 2000);  // 2000-02-29
  EXPECT_EQ(civil_year(4102444800LL * 1000000), 2100);
}

}  // namespace
}  // namespace tamberok
