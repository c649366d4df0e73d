// The stored cover corpus: the greedy choice, the features it covers on the
// fixture database, the import tool's determinism, and the stored forms of
// its texts. Built against the tracing core, as the import tool is.
#include "cover.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "support.h"
#include "tamberok/generate.h"
#include "tamberok/tamberok.h"
#include "tamberok/trace.h"

namespace tamberok::cover {
namespace {

namespace fs = std::filesystem;
using testing::ArtifactDb;
using Sets = std::vector<std::vector<uint32_t>>;

TEST(GreedyCover, TakesTheLargestGainFirstAndTiesGoToTheEarlierSet) {
  const struct {
    Sets sets;
    std::vector<size_t> picks;
  } cases[] = {
      {{}, {}},
      {{{}, {}}, {}},
      {{{0, 1}, {1, 2}, {0, 1, 2}}, {2}},
      {{{0}, {1}, {0}}, {0, 1}},
      {{{1}, {0}}, {0, 1}},
      {{{0, 1, 2}, {3, 4}, {0, 3}, {5}}, {0, 1, 3}},
      // After the first pick both rest sets add one feature: the earlier wins.
      {{{0, 1}, {2, 3}, {0, 2, 4}}, {2, 0, 1}},
      // A gain that fell below a later set's stale gain loses its turn.
      {{{0, 1, 2, 3}, {0, 1, 2, 4}, {4, 5, 6}}, {0, 2}},
      {{{5, 6}, {0, 1, 2}, {2, 3, 4}, {0, 4}}, {1, 0, 2}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(greedy_cover(c.sets), c.picks) << ::testing::PrintToString(c.sets);
  }
}

TEST(MalformedVariants, EachDefectOnceWithTheTextAsBuilt) {
  std::vector<std::string> expected = {"1HG",
                                       "1HGCM826",
                                       "1HGCM82633A",
                                       "1HGCM82633A00",
                                       "1HGCM82633A0043521",
                                       "1hgcm82633a004352",
                                       " 1HGCM82633A004352 ",
                                       "1HGCMI2633A004352",
                                       "1HGCMO2633A004352",
                                       "1HGCMQ2633A004352",
                                       "1HGCM*2633A004352",
                                       "1HGCM\xC3\x89"
                                       "2633A004352",
                                       "1HGCM82643A004352"};
  EXPECT_EQ(malformed_variants("1HGCM82633A004352", 6), expected);
  // Check digits wrap to "0" from "9" and "X"; a short text keeps what fits.
  EXPECT_EQ(malformed_variants("1HGCM826X3A004352", 18).back(), "1HGCM82603A004352");
  EXPECT_EQ(malformed_variants("1HGCM82693A004352", 0).back(), "1HGCM82603A004352");
  EXPECT_EQ(malformed_variants("AB", 1),
            (std::vector<std::string>{"AB1", "ab", " AB ", "IB", "OB", "QB", "*B",
                                      "\xC3\x89"
                                      "B"}));
}

TEST(MalformedVariants, ReplacementsReachEveryPositionUpToTheLastAndNoFurther) {
  const std::string vin = "1HGCM82633A004352";
  for (size_t position = 0; position <= vin.size() + 1; ++position) {
    std::vector<std::string> variants = malformed_variants(vin, position);
    bool inside = position >= 1 && position <= vin.size();
    for (const char* replacement : {"I", "O", "Q", "*", "\xC3\x89"}) {
      std::string changed = vin;
      if (inside) changed.replace(position - 1, 1, replacement);
      EXPECT_EQ(std::count(variants.begin(), variants.end(), changed), inside ? 1 : 0)
          << position << " " << replacement;
    }
  }
}

TEST(CandidatePool, HoldsEachTextOnceAndReplacesUpToTheLastPosition) {
  // One WMI and a schema of a key per VIN: every sample is truncated to
  // "1HG", and there are samples enough for the replaced position to walk
  // to the end.
  artifact::Contents c;
  c.wmis = {{.id = 1, .code = "1HG", .vehicle_type_id = 2}};
  c.wmi_vin_schemas = {{.id = 1, .wmi_id = 1, .vin_schema_id = 10, .year_from = 2000}};
  c.vin_schemas = {{.id = 10}};
  c.element_defs = {{.id = 5, .name = "Body Class", .code = "BodyClass", .decode = "Pattern"}};
  for (int32_t i = 0; i < 17 * int32_t{SAMPLE_STRIDE}; ++i) {
    c.patterns.push_back({.id = i + 1,
                          .vin_schema_id = 10,
                          .keys = "C" + std::to_string(1000 + i),
                          .element_id = 5,
                          .attribute_id = "3"});
  }
  ArtifactDb a(c);
  std::vector<std::string> pool = candidate_pool(a.db(), 2019);
  ASSERT_GT(pool.size(), 17 * SAMPLE_STRIDE);
  EXPECT_EQ(std::set<std::string>(pool.begin(), pool.end()).size(), pool.size());
  EXPECT_EQ(std::count(pool.begin(), pool.end(), "1HG"), 1);
  std::set<size_t> starred;
  for (const std::string& text : pool) {
    size_t star = text.find('*');
    if (text.size() == 17 && star != std::string::npos) starred.insert(star + 1);
  }
  EXPECT_EQ(starred.size(), 17u);
  EXPECT_EQ(*starred.rbegin(), 17u);
}

TEST(Features, InputClassesComeFromTheTextAndTheNormalisedVin) {
  auto input_classes = [](std::string_view text, std::string_view vin) {
    DecodeResult r;
    r.vin = std::string(vin);
    std::set<uint32_t> out;
    for (Feature f : features_of(text, r, 0)) {
      if (kind_of(f) == FeatureKind::input) out.insert(static_cast<uint32_t>(f >> 32 & 0xFFFFFF));
    }
    return out;
  };
  auto set = [](std::initializer_list<InputClass> classes) {
    std::set<uint32_t> out;
    for (InputClass c : classes) out.insert(static_cast<uint32_t>(c));
    return out;
  };
  using enum InputClass;
  const struct {
    std::string_view text, vin;
    std::set<uint32_t> classes;
  } cases[] = {
      {"", "", set({empty})},
      {"ab", "AB", set({length_1_to_2, lower_case})},
      {" 101 ", "101", set({length_3_to_10, surrounding_white_space})},
      {"1HGCM82633", "1HGCM82633", set({length_3_to_10})},
      {"1HGCM82633A", "1HGCM82633A", set({length_11_to_16})},
      {"1HGCM82633A004352", "1HGCM82633A004352", set({length_17})},
      {"1HGCM82633A0043521", "1HGCM82633A0043521", set({longer_than_17})},
      {"1HGCI82633A0O4Q52", "1HGCI82633A0O4Q52", set({length_17, letter_i, letter_o, letter_q})},
      {"1HGC\xC3\x89"
       "82633A004352",
       "1HGC&82633A004352", set({length_17, non_ascii, other_invalid_character})},
      {"1HGC*82633A004352", "1HGC*82633A004352", set({length_17, other_invalid_character})},
  };
  for (const auto& c : cases) EXPECT_EQ(input_classes(c.text, c.vin), c.classes) << c.text;
}

DecodedElement element(int32_t id, std::string source, std::string value) {
  DecodedElement e;
  e.element_id = id;
  e.source = std::move(source);
  e.value = std::move(value);
  return e;
}

TEST(Features, ResultFeaturesNameCodesSourcesConversionsVerdictsAndValidation) {
  auto hook = [](trace::Hook h) { return uint64_t{1} << static_cast<uint32_t>(h); };
  auto result = [](std::vector<int32_t> codes, std::vector<DecodedElement> elements,
                   std::string corrected = "", bool valid = false) {
    DecodeResult r;
    r.vin = "1HGCM82633A004352";
    r.error_codes = std::move(codes);
    r.elements = std::move(elements);
    r.corrected_vin = std::move(corrected);
    r.check_digit_valid = valid;
    return r;
  };
  auto error = [](uint32_t code, uint32_t detail = 0) {
    return make_feature(FeatureKind::error_code, code, detail);
  };
  auto verdict = [](CheckDigit c) { return make_feature(FeatureKind::check_digit, uint32_t(c)); };
  auto validation = [](Validation v) { return make_feature(FeatureKind::validation, uint32_t(v)); };
  auto source = [](uint32_t e, SourceKind k) {
    return make_feature(FeatureKind::element_source, e, uint32_t(k));
  };
  const Feature length_17 = make_feature(FeatureKind::input, uint32_t(InputClass::length_17));
  const struct {
    const char* name;
    DecodeResult result;
    uint64_t hooks;
    std::set<Feature> features;
  } cases[] = {
      {"clean", result({0}, {}, "", true), 0, {error(0), verdict(CheckDigit::valid), length_17}},
      {"unused positions named",
       result({0, 14}, {element(156, "Corrections", "Unused position(s): 4,5.")}, "", true),
       0,
       {error(0), error(14), error(14, 1), source(156, SourceKind::correction),
        verdict(CheckDigit::valid), length_17}},
      {"code 14 without unused positions",
       result({0, 14}, {}, "", true),
       0,
       {error(0), error(14), error(14, 2), verdict(CheckDigit::valid), length_17}},
      {"wrong check digit, marked VIN and possible values",
       result({1, 2}, {element(144, "Corrections", "(5:M)")}, "1HGC!82633A004352"),
       0,
       {error(1), error(2), source(144, SourceKind::correction), verdict(CheckDigit::invalid),
        validation(Validation::suggested_vin_marked),
        validation(Validation::possible_values_present), length_17}},
      {"excepted check digit and a decision",
       result({0}, {}),
       hook(trace::Hook::check_digit_excepted) | hook(trace::Hook::pass_by_year),
       {error(0), verdict(CheckDigit::excepted),
        make_feature(FeatureKind::decision, uint32_t(trace::Hook::pass_by_year)), length_17}},
      {"no check digit to compute",
       result({400}, {}),
       0,
       {error(400), verdict(CheckDigit::not_computable), length_17}},
      {"sources, conversions and empty values",
       result({}, {element(26, "pattern - model", "HONDA"), element(26, "Make", ""),
                   element(11, "Conversion 4: #x# * 1000", "2000"),
                   element(9, "Formula Pattern", "12")}),
       0,
       {source(26, SourceKind::make_from_model),
        make_feature(FeatureKind::element_conversion, 11, 4),
        source(9, SourceKind::formula_pattern), verdict(CheckDigit::not_computable), length_17}},
  };
  for (const auto& c : cases) {
    std::vector<Feature> got = features_of(c.result.vin, c.result, c.hooks);
    EXPECT_EQ(std::set<Feature>(got.begin(), got.end()), c.features) << c.name;
  }
  DecodeResult short_vin = result({6}, {});
  short_vin.vin = "1HGCM8";
  std::vector<Feature> short_features = features_of("1HGCM8", short_vin, 0);
  EXPECT_TRUE(std::binary_search(short_features.begin(), short_features.end(),
                                 verdict(CheckDigit::short_vin)));
}

// ---- the corpus of the fixture database ----------------------------------------

std::set<Feature> union_of(const Db& db, const std::vector<std::string>& texts, size_t n) {
  int64_t now = data_time(db);
  int32_t year = civil_year(now);
  std::set<Feature> out;
  for (size_t i = 0; i < n; ++i) {
    for (Feature f : decode_features(db, texts[i], now, year)) out.insert(f);
  }
  return out;
}

TEST(FixtureCover, TracedDecodeNotesTheYearBranchesPassKeyAndCheckDigitException) {
  std::unique_ptr<ArtifactDb> a = testing::load_fixture("vpic_small");
  const Db& db = a->db();
  int64_t now = data_time(db);  // 2019-07-01, the newest WMI row kept
  ASSERT_EQ(civil_year(now), 2019);
  using enum trace::Hook;
  const struct {
    const char* vin;
    std::vector<trace::Hook> hooks;
  } cases[] = {
      // A car with a digit at position 7 takes the older cycle, 2003.
      {"1HGCM82633A004352", {year_rule_car_like, year_settled_by_position_10}},
      // 1988 has no 1HG schema and 2018 has one.
      {"1HGCM8263JA004352", {year_rule_car_like, year_moved_by_schema_count}},
      // Neither 1985 nor 2015 has one.
      {"1HGCM8263FA004352", {year_rule_car_like, year_kept_without_schemas}},
      {"5YJ3E1EA7JF000001", {year_rule_car_like, year_kept_by_schema_count}},
      // A truck of type 1 is car-like; the exception list excuses its check digit.
      {"1FTFW1E57JFB00001", {year_rule_car_like, year_kept_by_schema_count, check_digit_excepted}},
      // 2031 lies beyond 2021, so a motorcycle takes 2001 at once.
      {"JH2PC35031M200020", {year_rule_not_car_like, year_settled_by_position_10}},
      // 2010 or 1980: both passes fail alike, and the first wins on its pass id.
      {"JH2PC3503AM200020", {pass_by_pass_id, year_rule_not_car_like, year_two_cycles}},
  };
  for (const auto& c : cases) {
    std::vector<Feature> features = decode_features(db, c.vin, now, civil_year(now));
    std::vector<trace::Hook> hooks;
    for (Feature f : features) {
      if (kind_of(f) == FeatureKind::decision) hooks.push_back(trace::Hook(f >> 32 & 0xFF));
    }
    if (std::find(c.hooks.begin(), c.hooks.end(), check_digit_excepted) != c.hooks.end()) {
      hooks.push_back(check_digit_excepted);  // a check-digit verdict, not a decision
      EXPECT_TRUE(std::binary_search(
          features.begin(), features.end(),
          make_feature(FeatureKind::check_digit, uint32_t(CheckDigit::excepted))));
    }
    EXPECT_EQ(hooks, c.hooks) << c.vin;
  }
}

TEST(FixtureCover, StoredCorpusReachesExactlyThePoolsFeaturesAndNoShorterPrefixDoes) {
  ASSERT_TRUE(trace::enabled());
  std::unique_ptr<ArtifactDb> a = testing::load_fixture("vpic_small");
  const Db& db = a->db();
  std::vector<std::string> pool = candidate_pool(db, civil_year(data_time(db)));
  std::vector<std::string> corpus = generate::cover_vins(db);
  ASSERT_FALSE(corpus.empty());

  // Each text once: the candidate count the tool prints is of distinct texts.
  EXPECT_EQ(std::set<std::string>(pool.begin(), pool.end()).size(), pool.size());
  std::set<Feature> wanted = union_of(db, pool, pool.size());
  EXPECT_EQ(union_of(db, corpus, corpus.size()), wanted);
  // Every pick adds something its predecessors lack, so no prefix suffices.
  for (size_t n = 1; n <= corpus.size(); ++n) {
    EXPECT_LT(union_of(db, corpus, n - 1).size(), union_of(db, corpus, n).size()) << n;
  }
  std::set<std::string> in_pool(pool.begin(), pool.end());
  for (const std::string& text : corpus) EXPECT_TRUE(in_pool.contains(text)) << text;
  // The fixture reaches decisions that only the hooks show.
  EXPECT_TRUE(wanted.contains(
      make_feature(FeatureKind::decision, uint32_t(trace::Hook::year_rule_car_like))));
}

TEST(FixtureCover, StoredTextsAreInlineUpToEightBytesElseOutOfLineAndReadBackExactly) {
  std::unique_ptr<ArtifactDb> a = testing::load_fixture("vpic_small");
  const Db& db = a->db();
  std::vector<std::string> corpus = generate::cover_vins(db);
  std::set<size_t> lengths;
  for (size_t i = 0; i < corpus.size(); ++i) {
    const uint8_t* record = db.cover_vin_list().address(i);
    lengths.insert(corpus[i].size());
    if (corpus[i].size() <= 8) {
      std::string padded = corpus[i] + std::string(8 - corpus[i].size(), '\xFF');
      EXPECT_EQ(std::memcmp(record, padded.data(), 8), 0) << corpus[i];
    } else {
      EXPECT_EQ(record[0] & 0xC0, 0x80) << corpus[i];
    }
  }
  // Truncated variants of both forms and whole VINs are among the picks.
  EXPECT_TRUE(lengths.contains(17));
  EXPECT_TRUE(std::any_of(lengths.begin(), lengths.end(), [](size_t n) { return n <= 8; }));
  EXPECT_TRUE(
      std::any_of(lengths.begin(), lengths.end(), [](size_t n) { return n > 8 && n < 17; }));
}

TEST(StoredStrings, EveryLengthReadsBackWithTheLengthSplitAcrossTheWord) {
  artifact::Contents c;
  std::vector<std::string> texts;
  for (size_t n : {0, 1, 3, 8, 9, 17, 63, 64, 65, 200, 5000}) {
    std::string text;
    for (size_t i = 0; i < n; ++i) text.push_back("0123456789ABCDEFGHJKLMNPRSTUVWXYZ"[i % 33]);
    texts.push_back(text);
  }
  texts.push_back("\xC3\x89t\xC3\xA9");  // 6 bytes of UTF-8
  c.cover_vin_list = texts;
  ArtifactDb a(c);
  const Db& db = a.db();
  ASSERT_EQ(generate::cover_vins(db), texts);
  for (size_t i = 0; i < texts.size(); ++i) {
    const uint8_t* record = db.cover_vin_list().address(i);
    if (texts[i].size() <= 8) {
      EXPECT_NE(record[0] & 0xC0, 0x80) << texts[i].size();
      continue;
    }
    uint32_t w;
    std::memcpy(&w, record, 4);
    EXPECT_EQ(w & 0xC0, 0x80u);
    EXPECT_EQ((w & 0x3F) | ((w >> 8) << 6), texts[i].size());
  }
  // 200 bytes: 8 in the low six bits, 3 in the upper 24.
  EXPECT_EQ(db.cover_vin_list().address(9)[0], 0x80 | 8);
  EXPECT_EQ(db.cover_vin_list().address(9)[1], 3);
}

// ---- the import tool -----------------------------------------------------------

std::string with_commas(size_t n) {
  std::string digits = std::to_string(n);
  for (size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
  return digits;
}

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// One word for the shell, whatever the text holds (a checkout path may hold
// a quote).
std::string shell_word(const std::string& text) {
  std::string word = "'";
  for (char c : text) word += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return word + "'";
}

// A folder of the test's own, removed however the test ends.
struct ScratchFolder {
  explicit ScratchFolder(fs::path path) : path(std::move(path)) {
    fs::create_directories(this->path);
  }
  ~ScratchFolder() { fs::remove_all(path); }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  fs::path path;
};

TEST(ImportCover, TwoImportsWithAnyWorkerCountGiveIdenticalBytesAndOneCoverLine) {
  ScratchFolder scratch(fs::temp_directory_path() /
                        ("tamberok-cover-test-" + std::to_string(getpid())));
  const fs::path& dir = scratch.path;
  std::string sql = std::string(TAMBEROK_SOURCE_DIR) + "/tests/fixtures/vpic_small.sql";
  std::string supplement = std::string(TAMBEROK_SOURCE_DIR) + "/data/supplement";
  std::string outputs[2];
  std::string stdout_text;
  for (int run = 0; run < 2; ++run) {
    fs::path out = dir / ("run" + std::to_string(run) + ".rkyv");
    // The second run has one worker: the choice must not depend on the pool.
    std::string command = std::string(run == 0 ? "" : "RAYON_NUM_THREADS=1 ") +
                          shell_word(TAMBEROK_IMPORT_TOOL) + " --sql " + shell_word(sql) +
                          " --out " + shell_word(out.string()) + " --supplement " +
                          shell_word(supplement) + " >" + shell_word((dir / "stdout").string()) +
                          " 2>/dev/null";
    int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
    outputs[run] = slurp(out);
    stdout_text = slurp(dir / "stdout");
  }
  EXPECT_FALSE(outputs[0].empty());
  EXPECT_TRUE(outputs[0] == outputs[1]);

  ArtifactDb a(std::vector<uint8_t>(outputs[0].begin(), outputs[0].end()));
  const Db& db = a.db();
  std::vector<std::string> pool = candidate_pool(db, civil_year(data_time(db)));
  std::array<size_t, FEATURE_KIND_COUNT> by_kind{};
  size_t total = 0;
  for (Feature f : union_of(db, pool, pool.size())) {
    ++by_kind[static_cast<size_t>(kind_of(f))];
    ++total;
  }
  std::string expected = "cover corpus: " + with_commas(total) + " features (";
  for (size_t k = 0; k < FEATURE_KIND_COUNT; ++k) {
    expected +=
        (k == 0 ? "" : ", ") + std::string(FEATURE_KIND_NAMES[k]) + " " + with_commas(by_kind[k]);
  }
  expected += "), " + with_commas(pool.size()) + " candidates, " +
              with_commas(db.cover_vin_list().size()) + " VINs, ";
  size_t line = stdout_text.rfind("cover corpus: ");
  ASSERT_NE(line, std::string::npos) << stdout_text;
  EXPECT_EQ(stdout_text.substr(line, expected.size()), expected);
  EXPECT_EQ(stdout_text.substr(stdout_text.size() - 3), " s\n");
}

}  // namespace
}  // namespace tamberok::cover
